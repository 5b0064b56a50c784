// Window refs (@w1, @w2, ...), the window records they stand for, and the
// operations that change a window through its accessibility element.
//
// A ref names one window for as long as that window exists: a window keeps
// the ref it was first listed with in every later listing, a window new to the
// list takes the next unused number, and the ref of a window that has gone is
// forgotten (refs are never reused).
//
// Ownership: the dispatcher owns the one instance; the platform is passed to
// each operation that reaches the desktop. Threading: request thread only, one
// request at a time.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.hpp"
#include "rpc/protocol.hpp"
#include "rpc/result.hpp"

namespace kest {

class WindowManager {
public:
    // Written only by listWindows. Public for the status method, which reads a
    // grabbed window's cached record; everything else uses the lookups below.
    std::map<std::string, platform::WindowNumber> windowRefs;  // ref -> window number
    std::map<std::string, Json> windowInfoCache;                // ref -> window info record
    std::int64_t nextWindowId = 1;

    // Enumerates the on-screen windows of layer 0 and at least 50 x 50 points,
    // front-most first, and returns the records (a JSON array) of those whose
    // owner name equals `appName` ignoring case, or of all. Every such window
    // is numbered, filtered out or not; refs of windows that no longer exist
    // (not even minimised or elsewhere) are dropped. When the window server
    // gives no list, the result is empty and the refs stay as they were.
    Json listWindows(platform::Platform& platform, const std::optional<std::string>& appName = std::nullopt);

    // Lookups in the latest enumeration; none of them enumerates.
    std::optional<Json> getWindowInfo(std::string_view ref) const;
    std::optional<platform::WindowNumber> getWindowID(std::string_view ref) const;
    std::optional<std::int32_t> getPID(std::string_view ref) const;
    // The accessibility window of the ref's application whose title equals the
    // cached title, else the application's first window; empty when none.
    platform::Element getAXWindow(platform::Platform& platform, std::string_view ref) const;

    // Enumerates with the filter and answers the first ref.
    std::optional<std::string> getWindowRefForApp(platform::Platform& platform, std::string_view appName);
    // The ref of a listed window of process `pid` titled `title` (the oldest
    // when several are), without enumerating; nothing when none is known.
    std::optional<std::string> refOf(std::int32_t pid, std::string_view title) const;

    // Window operations. Each finds the window with getAXWindow and fails with
    // -32005 "Window not found: <ref>" when there is none; refusals by the
    // target application are not reported.
    Result<Json> minimize(platform::Platform& platform, const std::string& ref);
    Result<Json> maximize(platform::Platform& platform, const std::string& ref);
    Result<Json> fullscreen(platform::Platform& platform, const std::string& ref);
    Result<Json> close(platform::Platform& platform, const std::string& ref);
    Result<Json> raise(platform::Platform& platform, const std::string& ref);
    Result<Json> move(platform::Platform& platform, const std::string& ref, double x, double y);
    Result<Json> resize(platform::Platform& platform, const std::string& ref, double width, double height);
    Result<Json> setBounds(platform::Platform& platform, const std::string& ref, double x, double y, double width,
                           double height);
    // Named rectangles of the main screen's visible frame: "left-half",
    // "right-half", "top-half", "bottom-half", "center", "fill".
    Result<Json> applyPreset(platform::Platform& platform, const std::string& ref, const std::string& preset);

private:
    // The ref for window `number` owned by `pid`: its own, or a new one when
    // it has none or its number now belongs to another process (a window
    // closed and its number taken again).
    std::string refFor(platform::WindowNumber number, std::optional<std::int64_t> pid);
    void forget(platform::WindowNumber number);

    std::map<platform::WindowNumber, std::string> refByNumber_;
};

}  // namespace kest
