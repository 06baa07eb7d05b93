#include "UPT.h"

void SetCliInfo(const TCliInfo& info) {
    DefaultServerLink().Record().Set(info);
}

void GetCliInfo(TCliInfo& info) {
    DefaultServerLink().Record().Get(info);
}

bool WaitCliInfo(TCliInfo& info, std::chrono::milliseconds limit) {
    return DefaultServerLink().Record().Wait(info, limit);
}

void RunSession() {
    DefaultServerLink().RunSession();
}

std::string Exchange(const std::string& line) {
    return DefaultServerLink().Exchange(line);
}

int32_t SessionResult() {
    return DefaultServerLink().SessionResult();
}

void ShowIdle() {
    DefaultServerLink().ShowIdle();
}

void CloseClient() {
    DefaultServerLink().CloseClient();
}

void ShowResult(int32_t code) {
    DefaultServerLink().ShowResult(code);
}
