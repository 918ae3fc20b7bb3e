#pragma once

#include <QString>

#include <optional>
#include <utility>
#include <variant>

// The one way failures travel: a function that can fail returns Result<T> (Result<void> when
// there is nothing else to return). A Failure says what went wrong as a cause the caller may act
// on, and in words for people; presentation (the window's "Error#N" box, the flasher's
// messages and exit codes) maps causes at the edge, never by decoding numbers or texts.
struct Failure {
    enum class Cause {
        FileNotFound,
        PathNotFound,
        PermissionDenied,
        NotRegularFile, // a FIFO, a device, a folder where a file was wanted
        DiskFull,
        DeviceIo,
        TooLong,      // an entry (or a file) longer than any valid one can be
        TooManyLines, // more lines than a load may hold
        AddressInUse,
        Network,
        Usage,     // a command line or a setting the program cannot take
        Exhausted, // a source of values (a list, a counter's range) has none left
        Store,     // the store on disk failed: cannot be opened, busy past waiting, not ours
    };

    Cause cause;
    QString detail; // the system's reason, the offending value...; may be empty

    friend bool operator==(const Failure&, const Failure&) = default;
};

template <typename T> class [[nodiscard]] Result {
public:
    Result(T value) : m_value(std::move(value)) {}
    Result(Failure failure) : m_value(std::move(failure)) {}

    [[nodiscard]] bool ok() const { return std::holds_alternative<T>(m_value); }
    explicit operator bool() const { return ok(); }
    [[nodiscard]] T& value() { return std::get<T>(m_value); }
    [[nodiscard]] const T& value() const { return std::get<T>(m_value); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    [[nodiscard]] const Failure& failure() const { return std::get<Failure>(m_value); }

private:
    std::variant<T, Failure> m_value;
};

template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure) : m_failure(std::move(failure)) {}

    [[nodiscard]] bool ok() const { return !m_failure; }
    explicit operator bool() const { return ok(); }
    [[nodiscard]] const Failure& failure() const { return *m_failure; }

private:
    std::optional<Failure> m_failure;
};

// Result<void>'s success, for return statements.
inline Result<void> success() {
    return {};
}
