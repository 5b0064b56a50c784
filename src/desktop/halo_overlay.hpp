// The outline drawn around the grabbed window.
#pragma once

namespace kest {

class HaloOverlay {};

}  // namespace kest
