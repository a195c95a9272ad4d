#pragma once
// Trace lines of the network server layer. Off until the host sets a sink; message closures run only
// then, so a caller never pays for formatting a line nobody reads. Callable from any thread.
#include <concepts>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace Util {

struct TraceLine {
    std::string file;
    int line = 0;
    std::string function;
    std::vector<std::string> messages;  // zero, one or two
};

using TraceSink = std::function<void(const TraceLine&)>;
using TraceMessage = std::function<std::string()>;

// An empty sink turns tracing off again. The sink may be called from several threads at once.
void setTraceSink(TraceSink sink);
bool isTraceEnabled();

// Text of a traced value: strings as they are, absent optionals and null pointers as "nil",
// lists as "[a, b]", objects by their description() or localizedDescription().
template <class T>
std::string describe(const T& value);

namespace detail {
template <class T> struct IsOptional : std::false_type {};
template <class T> struct IsOptional<std::optional<T>> : std::true_type {};
template <class T> struct IsVector : std::false_type {};
template <class T, class A> struct IsVector<std::vector<T, A>> : std::true_type {};
template <class T> struct IsPointer : std::false_type {};
template <class T> struct IsPointer<std::shared_ptr<T>> : std::true_type {};
template <class T> struct IsPointer<T*> : std::true_type {};

void emit(std::string_view file, int line, std::string_view function, const TraceMessage* first,
          const TraceMessage* second);

template <class F>
TraceMessage wrap(F&& message) {
    if constexpr (std::is_convertible_v<std::invoke_result_t<F&>, std::string>) {
        return TraceMessage(std::forward<F>(message));
    } else {
        return [m = std::forward<F>(message)]() mutable { return describe(m()); };
    }
}
}  // namespace detail

template <class T>
std::string describe(const T& value) {
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return std::string(std::string_view(value));
    } else if constexpr (std::is_same_v<T, bool>) {
        return value ? "true" : "false";
    } else if constexpr (std::is_arithmetic_v<T>) {
        return std::to_string(value);
    } else if constexpr (detail::IsOptional<T>::value) {
        return value ? describe(*value) : std::string("nil");
    } else if constexpr (detail::IsPointer<T>::value) {
        return value ? describe(*value) : std::string("nil");
    } else if constexpr (detail::IsVector<T>::value) {
        std::string text = "[";
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (i) text += ", ";
            text += describe(value[i]);
        }
        return text + "]";
    } else if constexpr (requires { { value.description() } -> std::convertible_to<std::string>; }) {
        return value.description();
    } else if constexpr (requires { { value.localizedDescription() } -> std::convertible_to<std::string>; }) {
        return value.localizedDescription();
    } else if constexpr (requires(std::ostream& os) { os << value; }) {
        std::ostringstream os;
        os << value;
        return os.str();
    } else {
        static_assert(sizeof(T) == 0, "Util::describe: no text form for this type");
    }
}

// One message: a closure yielding any describable value (or a string).
template <class F>
    requires std::invocable<F&>
void trace(F&& message, std::string_view file, int line, std::string_view function) {
    if (!isTraceEnabled()) return;
    TraceMessage m = detail::wrap(std::forward<F>(message));
    detail::emit(file, line, function, &m, nullptr);
}

// Two messages.
template <class F, class G>
    requires std::invocable<F&> && std::invocable<G&>
void trace(F&& first, G&& second, std::string_view file, int line, std::string_view function) {
    if (!isTraceEnabled()) return;
    TraceMessage a = detail::wrap(std::forward<F>(first));
    TraceMessage b = detail::wrap(std::forward<G>(second));
    detail::emit(file, line, function, &a, &b);
}

// A bare marker line.
void trace(std::string_view file, int line, std::string_view function);

}  // namespace Util
