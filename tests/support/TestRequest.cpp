#include "TestRequest.h"

#include <memory>

TCliInfo TestRequest() {
    TCliInfo info;
    info.UserName = "QX40";
    info.HVer = "2";
    info.SVer = "1.20";
    info.UseCount = 1234;
    info.RegInfo = "000004D200000007";
    info.PCInfo = "00-1A-2B-3C-4D-5E";
    info.OriginalID = "1A2B3C4D";
    info.CID1 = "01";
    info.CID2 = "A2";
    info.CID3 = "B3";
    info.CID4 = "FF";
    info.UPType = RequestKind::Firmware;
    info.SWVer = "1.4";
    info.Data = std::make_shared<TMemoryStream>();
    return info;
}
