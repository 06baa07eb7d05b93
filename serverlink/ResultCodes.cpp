#include "ResultCodes.h"

#include <cstdio>

int32_t MapResult(int32_t code) {
    if (code > 0)
        return code;
    int32_t mapped = code + 255;
    if (code == 0 || code == -1 || code == -7)
        return mapped;
    // Any other status: never 0 (the window would wait for ever) and never a code with a
    // meaning of its own.
    uint8_t low = static_cast<uint8_t>(mapped & 0xFF);
    if (low == 0 || low == kResultSuccess || low == kResultLatest || low == kResultNoRepeat ||
        low == kResultNoUpgrade)
        return 245;
    return mapped;
}

std::string ResultText(int32_t code, uint16_t r) {
    int32_t mapped = MapResult(code);
    char tail[24];
    if (mapped >= 0)
        std::snprintf(tail, sizeof tail, "%04X%02X", r, static_cast<unsigned>(mapped));
    else
        std::snprintf(tail, sizeof tail, "%04X%08X", r, static_cast<uint32_t>(mapped));
    bool ownStatus = code > 0 || code == 0 || code == -1 || code == -7;
    if (ownStatus) {
        switch (mapped) {
        case kResultConnectFailed:
            return std::string("连接服务器失败，错误代号：") + tail;
        case kResultSuccess:
            return "请求的数据获取成功！";
        case kResultLatest:
            return "已经是最新软件，无需升级！";
        case kResultNoRepeat:
            return std::string("无需重复更新！错误代号：") + tail;
        case kResultNoUpgrade:
            return std::string("固件无需升级，错误代号：") + tail;
        default:
            break;
        }
    }
    return std::string("升级发生错误，错误代号：") + tail;
}
