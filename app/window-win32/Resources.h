#pragma once
// The pictures of kestrel.exe (Pictures.rc.in) as RCDATA resources, by number.
#define KESTREL_PICTURE_EMBLEM 101    // IMG1 of the main window
#define KESTREL_PICTURE_RADAR 102     // IMG2, the busy indicator
#define KESTREL_PICTURE_POWER_OUT 103 // the guided dialog's IMG1
#define KESTREL_PICTURE_YES_KEY 104   // IMG2
#define KESTREL_PICTURE_POWER_IN 105  // IMG3
#define KESTREL_PICTURE_ICON 106      // the window icon
