#pragma once
// The texts of the guided loader-entry steps and the dialog's three answers, shared by the
// window's dialog and the terminal's questions.
namespace HintText {
inline constexpr const char* Steps[5] = {
    "你的设备软件版本太低,请按后面步骤提示完成操作:",
    "1. 把QX40设备的电源插头拔掉(USB请不要拔掉)，完成后按[完成]",
    "2. 按住QX40设备的[Yes]键，并保持不放。",
    "3. 继续按住[Yes]键不放，把电源插头插上。",
    "4. 你是否看到屏幕亮起，但不显示任何信息，大约5秒种以后屏幕出现开机画面。",
};
inline constexpr const char* Done = "完 成";
inline constexpr const char* Seen = "看到了";
inline constexpr const char* NotSeen = "没有看到";
} // namespace HintText
