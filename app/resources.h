// The dialog templates, strings and icons of brevlo.rc, for the build that has no resource
// section, generated from brevlo.rc at build time (the Windows build reads brevlo.rc compiled
// into the executable).
#pragma once

#include "app/framework/framework.h"

extern const ui::ResourceModule kResourceModule;
