// The stack-first buffer: the one growable array of this code base.
#pragma once

#include "ref.h"

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace ortan {

// An array of trivially copyable T that lives in the object itself up to N elements and on the
// Python heap (PyMem) beyond. Growth never throws: an allocation that fails, or a size whose
// byte count would overflow, sets MemoryError and returns false (or null), and the contents
// stay as they were. Elements are raw values: a buffer of PyObject* owns none of them.
template <class T, size_t N> class SmallArray {
    static_assert(std::is_trivially_copyable<T>::value, "SmallArray holds plain values");
    static_assert(N > 0, "SmallArray needs room on the stack");

  public:
    SmallArray() = default;
    SmallArray(const SmallArray &) = delete;
    SmallArray &operator=(const SmallArray &) = delete;
    ~SmallArray() {
        if (data_ != stack_)
            PyMem_Free(data_);
    }

    T *data() { return data_; }
    const T *data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T &operator[](size_t i) { return data_[i]; }
    const T &operator[](size_t i) const { return data_[i]; }
    T *begin() { return data_; }
    T *end() { return data_ + size_; }
    const T *begin() const { return data_; }
    const T *end() const { return data_ + size_; }
    T &back() { return data_[size_ - 1]; }

    void clear() { size_ = 0; }
    void pop_back() { --size_; }

    // Room for at least `count` elements, keeping the contents; false with MemoryError set.
    bool reserve(size_t count) {
        if (count <= capacity_)
            return true;
        size_t grown = capacity_ + capacity_ / 2;
        return grow_to(grown > count ? grown : count);
    }

    // `count` elements; new ones are left uninitialised. False with MemoryError set.
    bool resize(size_t count) {
        if (!reserve(count))
            return false;
        size_ = count;
        return true;
    }

    bool push_back(const T &value) {
        if (size_ == capacity_ && !reserve(size_ + 1))
            return false;
        data_[size_++] = value;
        return true;
    }

    // Room for `count` more elements at the end, returned for the caller to fill; null with
    // MemoryError set.
    T *extend(size_t count) {
        if (count > max_size() - size_) {
            PyErr_NoMemory();
            return nullptr;
        }
        if (!reserve(size_ + count))
            return nullptr;
        T *tail = data_ + size_;
        size_ += count;
        return tail;
    }

    static constexpr size_t max_size() { return PY_SSIZE_T_MAX / sizeof(T); }

  private:
    bool grow_to(size_t count) {
        if (count > max_size()) {
            PyErr_NoMemory();
            return false;
        }
        T *bigger = static_cast<T *>(PyMem_Malloc(count * sizeof(T)));
        if (!bigger) {
            PyErr_NoMemory();
            return false;
        }
        if (size_)
            std::memcpy(static_cast<void *>(bigger), data_, size_ * sizeof(T));
        if (data_ != stack_)
            PyMem_Free(data_);
        data_ = bigger;
        capacity_ = count;
        return true;
    }

    T stack_[N];
    T *data_ = stack_;
    size_t size_ = 0;
    size_t capacity_ = N;
};

} // namespace ortan
