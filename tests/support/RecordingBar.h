#pragma once
// A progress bar that records every call, for checks of what a transfer showed.
#include "WindowLink.h"

#include <vector>

class TRecordingBar : public TProgressBar {
public:
    void SetMax(int max) override { maxima.push_back(max); }
    void SetPosition(int position) override { positions.push_back(position); }
    std::vector<int> maxima;
    std::vector<int> positions;
};
