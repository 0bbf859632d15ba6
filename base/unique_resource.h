// The one owner of a platform resource and the one lock guard. Each kind of
// resource is a traits struct (its type, its empty value, how it is given
// back); the aliases for the kinds this component uses are in com_support.h.
// Platform-free: the traits bring the platform in.
//
// Threads: an owner belongs to one thread at a time, like the value it holds.
#pragma once

#include <utility>

namespace okulon {

// Traits provide:
//   using Type = ...;                    the held value
//   static Type Empty() noexcept;         the value that owns nothing
//   static bool IsOwned(Type) noexcept;  whether a value must be given back
//   static void Close(Type) noexcept;    gives a value back
template <class Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() noexcept = default;
    explicit UniqueResource(Type value) noexcept : m_value(value) {}
    UniqueResource(UniqueResource&& other) noexcept : m_value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    Type get() const noexcept { return m_value; }
    explicit operator bool() const noexcept { return Traits::IsOwned(m_value); }
    [[nodiscard]] Type release() noexcept { return std::exchange(m_value, Traits::Empty()); }
    void reset(Type value = Traits::Empty()) noexcept {
        const Type old = std::exchange(m_value, value);
        if (Traits::IsOwned(old)) Traits::Close(old);
    }
    // For a function that writes a new value: gives the old one back first.
    Type* put() noexcept {
        reset();
        return &m_value;
    }

private:
    Type m_value = Traits::Empty();
};

// Holds a lock from construction to the end of the scope. Acquire and Free
// are the lock's member functions for one way of holding it (exclusive or
// shared), so one template serves every lock type.
template <class Lock, void (Lock::*Acquire)() noexcept, void (Lock::*Free)() noexcept>
class [[nodiscard]] LockGuard {
public:
    explicit LockGuard(Lock& lock) noexcept : m_lock(lock) { (m_lock.*Acquire)(); }
    ~LockGuard() { (m_lock.*Free)(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Lock& m_lock;
};

}  // namespace okulon
