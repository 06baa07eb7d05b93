#include "CliInfo.h"

void TSharedCliInfo::Set(const TCliInfo& info) {
    {
        std::lock_guard lock(mutex_);
        info_ = info;
        code_.store(info.ResultCode);
    }
    if (info.ResultCode != 0)
        done_.notify_all();
}

void TSharedCliInfo::Get(TCliInfo& info) {
    std::lock_guard lock(mutex_);
    info = info_;
}

bool TSharedCliInfo::Wait(TCliInfo& info, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    done_.wait_for(lock, limit, [this] { return info_.ResultCode != 0; });
    info = info_;
    return info.ResultCode != 0;
}

void TSharedCliInfo::ClearCode() {
    std::lock_guard lock(mutex_);
    info_.ResultCode = 0;
    code_.store(0);
}

void TSharedCliInfo::Publish(uint8_t code) {
    {
        std::lock_guard lock(mutex_);
        if (info_.ResultCode == 0) {
            info_.ResultCode = code;
            code_.store(code);
        }
    }
    done_.notify_all();
}

TCliInfo TSharedCliInfo::Request() {
    std::lock_guard lock(mutex_);
    if (!info_.Data)
        info_.Data = std::make_shared<TMemoryStream>();
    return info_;
}
