#include "IOPack.h"

TIOPack IOPack;
