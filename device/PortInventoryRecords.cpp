// Windows' answers about its communication ports, as text: names, hardware ids, merging.
#include "PortInventoryRecords.h"

#include "PortNames.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace {

bool IsHex(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    });
    return text;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    return text;
}

// The four hex digits after `key` ("VID_") where it starts a field of `id` (after the start, a
// backslash, '&' or '+'); empty when there are none.
std::string IdField(const std::string& id, const std::string& key) {
    for (size_t at = id.find(key); at != std::string::npos; at = id.find(key, at + 1)) {
        const bool starts = at == 0 || id[at - 1] == '\\' || id[at - 1] == '&' || id[at - 1] == '+';
        std::string digits = id.substr(at + key.size(), 4);
        const size_t end = at + key.size() + 4;
        const bool ends = end == id.size() || id[end] == '&' || id[end] == '+' || id[end] == '\\';
        if (starts && ends && digits.size() == 4 && IsHex(digits))
            return digits;
    }
    return {};
}

} // namespace

int32_t ComNumber(const std::string& name) {
    std::string text = Upper(name);
    if (text.rfind("\\\\.\\", 0) == 0)
        text = text.substr(4);
    if (text.size() < 4 || text.size() > 6 || text.compare(0, 3, "COM") != 0 || text[3] == '0')
        return 0;
    int32_t number = 0;
    for (size_t i = 3; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return 0;
        number = number * 10 + (text[i] - '0');
    }
    return number <= ComPortCount ? number : 0;
}

std::vector<std::wstring> SplitMultiString(const std::wstring& value) {
    std::vector<std::wstring> strings;
    size_t from = 0;
    while (from < value.size()) {
        size_t end = value.find(L'\0', from);
        if (end == std::wstring::npos)
            end = value.size(); // the last string without its NUL: taken as it is
        if (end == from)
            break;
        strings.push_back(value.substr(from, end - from));
        from = end + 1;
    }
    return strings;
}

bool UsbIdsOf(const std::string& hardwareId, std::string& vendorId, std::string& productId) {
    const std::string id = Upper(hardwareId);
    std::string vendor = IdField(id, "VID_");
    std::string product = IdField(id, "PID_");
    if (vendor.empty() || product.empty())
        return false;
    vendorId = Lower(vendor);
    productId = Lower(product);
    return true;
}

std::vector<TPortInfo> MergePorts(const std::vector<TSystemPort>& devices,
                                  const std::vector<int32_t>& dosPorts) {
    std::map<int32_t, TPortInfo> ports;
    auto add = [&ports](int32_t number) -> TPortInfo& {
        TPortInfo& info = ports[number];
        info.number = number;
        info.path = "\\\\.\\COM" + std::to_string(number);
        return info;
    };
    for (const TSystemPort& device : devices) {
        const int32_t number = ComNumber(device.portName);
        if (number == 0 || ports.count(number) != 0)
            continue;
        TPortInfo& info = add(number);
        info.friendlyName = device.friendlyName;
        for (const std::string& id : device.hardwareIds)
            if (UsbIdsOf(id, info.vendorId, info.productId)) {
                info.usb = true;
                break;
            }
    }
    for (int32_t number : dosPorts)
        if (number >= 1 && number <= ComPortCount && ports.count(number) == 0)
            add(number);
    std::vector<TPortInfo> merged;
    merged.reserve(ports.size());
    for (auto& [number, info] : ports)
        merged.push_back(std::move(info));
    return merged;
}
