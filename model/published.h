#pragma once

// Published: one value the model publishes as a property. Every assignment stores the value,
// then emits the owner's notify signal, changed or not: the rule every property of TalnModel
// follows, kept here once. The parts of the model hold their properties as Published values of
// the model (a notify signal is a public member of its QObject).
//
// Threads: the owner's (the main thread). Holds the value and a reference to its owner.

#include <utility>

namespace taln {

template <class Owner, class T> class Published {
public:
    using Signal = void (Owner::*)();

    Published(Owner& owner, Signal changed, T value = T())
        : owner_(owner), changed_(changed), value_(std::move(value)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& get() const { return value_; }

    // Stores `value`, then emits the notify signal.
    void set(T value) {
        value_ = std::move(value);
        (owner_.*changed_)();
    }

private:
    Owner& owner_;
    Signal changed_;
    T value_;
};

} // namespace taln
