// Accessibility: reading and operating other applications' interface elements
// by attribute and action name, with a status per call.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include "common/expected.hpp"
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/element.hpp"
#include "platform/geometry.hpp"

namespace kest::platform {

// The status of one accessibility call. 0 is done; every other value means the
// call did nothing (a read then has no value). Callers test against kSuccess
// only; the named failures let backends and the fake say why.
using Status = std::int32_t;

namespace StatusCode {
inline constexpr Status kSuccess = 0;
inline constexpr Status kFailure = -25200;               // the call failed for an unstated reason
inline constexpr Status kIllegalArgument = -25201;       // e.g. a value kind the attribute cannot take
inline constexpr Status kInvalidElement = -25202;        // the element (or its application) has gone
inline constexpr Status kCannotComplete = -25204;        // no answer within the messaging timeout
inline constexpr Status kAttributeUnsupported = -25205;  // the element has no such attribute
inline constexpr Status kActionUnsupported = -25206;     // the element has no such action
inline constexpr Status kNotImplemented = -25208;        // the application does not serve the call
inline constexpr Status kAPIDisabled = -25211;           // this process may not use accessibility
inline constexpr Status kNoValue = -25212;               // the attribute exists but holds nothing
}  // namespace StatusCode

// Attribute and action names the engine reads, writes and performs. They are
// passed to backends as they are; any other name (the "attr" of a read query)
// is passed unchanged too.
namespace AXAttribute {
inline constexpr std::string_view kRole = "AXRole";
inline constexpr std::string_view kSubrole = "AXSubrole";
inline constexpr std::string_view kTitle = "AXTitle";
inline constexpr std::string_view kDescription = "AXDescription";
inline constexpr std::string_view kValue = "AXValue";
inline constexpr std::string_view kEnabled = "AXEnabled";
inline constexpr std::string_view kFocused = "AXFocused";
inline constexpr std::string_view kChildren = "AXChildren";
inline constexpr std::string_view kWindows = "AXWindows";
inline constexpr std::string_view kFocusedWindow = "AXFocusedWindow";
inline constexpr std::string_view kMenuBar = "AXMenuBar";
inline constexpr std::string_view kExtrasMenuBar = "AXExtrasMenuBar";
inline constexpr std::string_view kPosition = "AXPosition";
inline constexpr std::string_view kSize = "AXSize";
inline constexpr std::string_view kMinimized = "AXMinimized";
inline constexpr std::string_view kFullScreen = "AXFullScreen";
inline constexpr std::string_view kModal = "AXModal";
inline constexpr std::string_view kCloseButton = "AXCloseButton";
inline constexpr std::string_view kZoomButton = "AXZoomButton";
inline constexpr std::string_view kDefaultButton = "AXDefaultButton";
inline constexpr std::string_view kCancelButton = "AXCancelButton";
}  // namespace AXAttribute

namespace AXAction {
inline constexpr std::string_view kPress = "AXPress";
inline constexpr std::string_view kRaise = "AXRaise";
}  // namespace AXAction

// A value that is neither of the typed kinds (a range, a URL, a date...): the
// backend's text description of it, which only the "read" query shows.
struct OtherValue {
    std::string description;
    bool operator==(const OtherValue&) const = default;
};

// One attribute value, typed. Made with the named factories (never by implicit
// conversion, so that 1, 1.0, true and "1" cannot be confused); read back with
// accessors that never convert between kinds, except asNumber (integer or
// double) and asTruth (a boolean, or a number by its truth).
class Value {
public:
    enum class Kind { null, boolean, integer, real, string, point, size, element, elements, other };

    Value() = default;  // null
    static Value null() { return Value(); }
    static Value boolean(bool v) { return Value(Data(std::in_place_index<1>, v)); }
    static Value integer(std::int64_t v) { return Value(Data(std::in_place_index<2>, v)); }
    static Value real(double v) { return Value(Data(std::in_place_index<3>, v)); }
    static Value string(std::string v) { return Value(Data(std::in_place_index<4>, std::move(v))); }
    static Value point(Point v) { return Value(Data(std::in_place_index<5>, v)); }
    static Value size(Size v) { return Value(Data(std::in_place_index<6>, v)); }
    static Value element(Element v) { return Value(Data(std::in_place_index<7>, std::move(v))); }
    static Value elements(std::vector<Element> v) { return Value(Data(std::in_place_index<8>, std::move(v))); }
    static Value other(std::string description) {
        return Value(Data(std::in_place_index<9>, OtherValue{std::move(description)}));
    }

    Kind kind() const { return static_cast<Kind>(data_.index()); }
    bool isNull() const { return kind() == Kind::null; }

    std::optional<bool> asBool() const { return get<bool>(); }
    std::optional<std::int64_t> asInteger() const { return get<std::int64_t>(); }
    std::optional<double> asNumber() const {
        if (auto i = asInteger()) return static_cast<double>(*i);
        return get<double>();
    }
    std::optional<bool> asTruth() const {
        if (auto b = asBool()) return b;
        if (auto n = asNumber()) return *n != 0;
        return std::nullopt;
    }
    const std::string* asString() const { return std::get_if<std::string>(&data_); }
    std::optional<Point> asPoint() const { return get<Point>(); }
    std::optional<Size> asSize() const { return get<Size>(); }
    // An empty Element when the value is not an element.
    Element asElement() const {
        auto* e = std::get_if<Element>(&data_);
        return e ? *e : Element();
    }
    const std::vector<Element>* asElements() const { return std::get_if<std::vector<Element>>(&data_); }
    const OtherValue* asOther() const { return std::get_if<OtherValue>(&data_); }

private:
    using Data = std::variant<std::monostate, bool, std::int64_t, double, std::string, Point, Size, Element,
                              std::vector<Element>, OtherValue>;
    explicit Value(Data data) : data_(std::move(data)) {}
    template <class T>
    std::optional<T> get() const {
        auto* v = std::get_if<T>(&data_);
        return v ? std::optional<T>(*v) : std::nullopt;
    }
    Data data_;
};

// A read: the value, or the status that says why there is none. A status of 0
// with a null value is a value (null), distinct from a failed read.
using AttributeResult = std::expected<Value, Status>;

// A run of reads over one tree, open while the object lives (see
// Accessibility::beginTreeRead). Backends subclass it; the logic only keeps it.
class TreeReadSession {
public:
    virtual ~TreeReadSession() = default;
};

// How far a walk announced with Accessibility::beginTreeRead goes: depth
// first, children in order, the root not counted; an element whose role reads
// counts while fewer than `elements` have counted before it, and is read, and
// its children are, while its depth below the root's children is under
// `depth`.
struct TreeWalkBounds {
    std::size_t elements = std::numeric_limits<std::size_t>::max();
    std::int64_t depth = std::numeric_limits<std::int64_t>::max();
};

// Threading: called only from the request thread, under the dispatch lock
// (toolkit connections behind it are not free-threaded). Every call returns
// within the messaging timeout; none throws.
class Accessibility {
public:
    virtual ~Accessibility() = default;

    // May this process use the accessibility services at all? Never prompts.
    virtual bool isProcessTrusted() = 0;

    // The element of the application with this process id. Never empty: for a
    // process that has no accessible application, calls on it fail.
    virtual Element applicationElement(std::int32_t pid) = 0;

    // Reads one attribute by name. An empty element answers kIllegalArgument.
    virtual AttributeResult attribute(const Element& element, std::string_view name) = 0;

    // Reads several attributes of one element, answers in the order of the
    // names. Backends that can ask for several values in one round trip
    // override it; the result must equal reading them one by one.
    virtual std::vector<AttributeResult> attributes(const Element& element,
                                                    std::span<const std::string_view> names) {
        std::vector<AttributeResult> results;
        results.reserve(names.size());
        for (auto name : names) results.push_back(attribute(element, name));
        return results;
    }

    // Announces a walk: many reads of `root` and the elements below it
    // (role, labels, value, states, geometry, children) follow until the
    // session is dropped, with no write or action in between. A backend that
    // can fetch a whole tree in a few round trips may answer those reads from
    // that copy; each answer must equal what reading it alone would give at
    // that moment. Nothing (the default) means reads go one by one. `bounds`
    // say how far the walk goes, so that a backend need not fetch what it
    // will never be asked; reads beyond them are still answered.
    virtual std::unique_ptr<TreeReadSession> beginTreeRead(const Element& root, const TreeWalkBounds& bounds = {}) {
        (void)root;
        (void)bounds;
        return nullptr;
    }

    // Writes one attribute. The engine writes booleans ("AXFocused",
    // "AXMinimized", "AXFullScreen"), strings and numbers ("AXValue"), a point
    // ("AXPosition") and a size ("AXSize"); other kinds answer kIllegalArgument.
    virtual Status setAttribute(const Element& element, std::string_view name, const Value& value) = 0;

    // Performs an action ("AXPress", "AXRaise") by name.
    virtual Status performAction(const Element& element, std::string_view action) = 0;

    // Later calls on this element (and, for an application element, on the
    // elements reached through it) give up after the timeout with
    // kCannotComplete instead of waiting for a busy application.
    virtual void setMessagingTimeout(const Element& element, std::chrono::duration<double> timeout) = 0;

    // Geometry values for writes. A backend may refuse to make one (nothing is
    // written then); the defaults always succeed.
    virtual std::optional<Value> createPointValue(Point point) { return Value::point(point); }
    virtual std::optional<Value> createSizeValue(Size size) { return Value::size(size); }
};

}  // namespace kest::platform
