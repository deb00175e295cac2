// Engine failures travel back to the Python boundary as values, never as
// exceptions: an engine returns Outcome<T>, and the binding maps the error
// kind to a Python exception class.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vornix {

enum class ErrorKind {
    Runtime,  // exhausted event budget, worker pool failure -> RuntimeError
    Value,    // malformed input detected by an engine -> ValueError
    Os,       // file-system failure -> OSError
    Memory,   // allocation failure -> MemoryError
    Interrupted,  // the caller's interrupt poll asked to stop -> the pending exception
};

struct EngineError {
    ErrorKind kind;
    std::string message;
};

inline EngineError runtime_error(std::string message) { return {ErrorKind::Runtime, std::move(message)}; }
inline EngineError value_error(std::string message) { return {ErrorKind::Value, std::move(message)}; }

template <class T>
class Outcome {
public:
    Outcome(T value) : state_(std::move(value)) {}
    Outcome(EngineError error) : state_(std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    const EngineError& error() const { return std::get<1>(state_); }

private:
    std::variant<T, EngineError> state_;
};

}  // namespace vornix
