// The X11 headers the Linux backend uses, included in one place.
//
// Xlib defines `Status` as a macro, which would rewrite the engine's own
// `Status` type wherever both are visible; every X header is therefore
// included here, before the macro is removed. Include this file, never an X
// header directly.
#pragma once

#include <X11/X.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/shape.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/Xrender.h>
#include <X11/keysym.h>
#include <cairo-xlib.h>

#undef Status

namespace kest::platform::linux_desktop {
// Xlib's status type (non-zero is success for most calls).
using XStatus = int;
}  // namespace kest::platform::linux_desktop
