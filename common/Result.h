#pragma once
// The outcome of an asynchronous operation that may fail: a value or an error
// message. Asynchronous operations take a completion callback that receives a
// Result<T>; the callback is called exactly once, on the main queue, unless the
// operation's own header says otherwise.

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace tavrin {

struct Error {
    std::string message;
};

template <class T> class Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Throws std::logic_error when called on an error.
    const T& value() const {
        if (!ok())
            throw std::logic_error("Result holds an error: " + std::get<1>(state_).message);
        return std::get<0>(state_);
    }
    T& value() {
        if (!ok())
            throw std::logic_error("Result holds an error: " + std::get<1>(state_).message);
        return std::get<0>(state_);
    }
    const Error& error() const { return std::get<1>(state_); }

  private:
    std::variant<T, Error> state_;
};

template <class T> using Completion = std::function<void(Result<T>)>;

} // namespace tavrin
