// The upgrade dialogue (TUpgradeDialogue) over a scripted line transport whose peer sends the
// input's bytes, as a server's bytes on the wire: lines end in CR LF, data is taken as it comes,
// and once the bytes are used up the connection counts as lost (empty lines, no more data). The
// request is fixed. Checked beyond the sanitizers: a session that ends in success has said
// "AllOK" and holds exactly the announced bytes, with the CRC the server sent.
#include "CRC16.h"
#include "ResultCodes.h"
#include "ScriptedTransport.h"
#include "TestRequest.h"
#include "WindowLink.h"

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    TScriptedTransport transport({reinterpret_cast<const char*>(bytes), size});
    TSharedCliInfo record;
    TNullWindowLink window;
    const TCliInfo request = TestRequest();
    record.Set(request);
    const int32_t result = TUpgradeDialogue(transport, record, window).Run(request);
    if (result == kResultSuccess) {
        const auto& data = request.Data->Bytes();
        // The 27 replies of the announcement, the length, the reply to its echo, the 13 values,
        // the check line, the CRC.
        const auto& lines = transport.LinesBeforeData();
        const std::string& lastSent = transport.Sent().back();
        char crc[8];
        std::snprintf(crc, sizeof crc, "%04X",
                      Crc16(data.data(), static_cast<int32_t>(data.size())));
        if (lastSent != "AllOK" || lines.size() != 44 ||
            static_cast<long long>(data.size()) != std::strtoll(lines[27].c_str(), nullptr, 10) ||
            lines.back() != crc) {
            std::fprintf(stderr, "success with %zu bytes of CRC %s, last line sent '%s'\n",
                         data.size(), crc, lastSent.c_str());
            std::abort();
        }
    }
    return 0;
}
