// One way to own a platform resource: UniqueResource<Traits> holds one value
// and releases it exactly once, whichever path the owner leaves by. A traits
// type per kind says what the empty value is and how to release:
//
//   struct Traits {
//       using Type = ...;                       // the handle or record held
//       static Type Empty();                    // the value that owns nothing
//       static bool IsEmpty(const Type&);
//       static void Release(Type&);             // called only for a non-empty value
//   };
//
// Moves hand the value on; copies do not exist. Release routines' own
// failures are not reported: a holder runs on paths that already decided
// their status. Code that must report a release failure releases by hand
// (Release() hands the value back first).
#pragma once

template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() : value_(Traits::Empty()) {}
    explicit UniqueResource(Type value) : value_(value) {}
    ~UniqueResource() { Reset(); }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.Release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    // Releases what is held and takes `value` instead.
    void Reset(Type value = Traits::Empty())
    {
        if (!Traits::IsEmpty(value_)) {
            Traits::Release(value_);
        }
        value_ = value;
    }
    // Hands the value to the caller, who then owns releasing it.
    Type Release()
    {
        Type value = value_;
        value_ = Traits::Empty();
        return value;
    }
    // For routines that return a new value through a pointer: releases what
    // is held first. A routine that fails may leave garbage there, so callers
    // that cannot trust it call Forget() on failure.
    Type* Put()
    {
        Reset();
        return &value_;
    }
    void Forget() { value_ = Traits::Empty(); }

    const Type& get() const { return value_; }
    Type& raw() { return value_; }
    explicit operator bool() const { return !Traits::IsEmpty(value_); }

private:
    Type value_;
};
