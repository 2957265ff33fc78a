#pragma once
// A growable value array whose element access is range checked: an index
// outside 0..length-1 throws DynArrayOutOfRange, which abandons the running
// stage of a job. Resizing keeps the first min(old, new) elements; resizing
// to 0 releases the storage.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvx {

class DynArrayOutOfRange : public std::out_of_range {
 public:
  DynArrayOutOfRange(std::size_t index, std::size_t length)
      : std::out_of_range("index " + std::to_string(index) + " outside a dynamic array of length " +
                          std::to_string(length)),
        index_(index),
        length_(length) {}
  std::size_t index() const { return index_; }
  std::size_t length() const { return length_; }

 private:
  std::size_t index_, length_;
};

template <typename T>
class DynamicArray {
 public:
  std::size_t length() const { return items_.size(); }
  bool empty() const { return items_.empty(); }

  void setLength(std::size_t n) {
    if (n == 0) {
      std::vector<T>().swap(items_);
    } else {
      items_.resize(n);
    }
  }
  void append(const T& value) { items_.push_back(value); }
  // Moves elements i+1..end down by one and shrinks by one.
  void removeAt(std::size_t i) {
    check(i);
    items_.erase(items_.begin() + std::ptrdiff_t(i));
  }

  T& operator[](std::size_t i) {
    check(i);
    return items_[i];
  }
  const T& operator[](std::size_t i) const {
    check(i);
    return items_[i];
  }
  T& back() {
    check(items_.empty() ? 0 : items_.size() - 1);
    return items_.back();
  }

  typename std::vector<T>::const_iterator begin() const { return items_.begin(); }
  typename std::vector<T>::const_iterator end() const { return items_.end(); }

 private:
  void check(std::size_t i) const {
    if (i >= items_.size()) throw DynArrayOutOfRange(i, items_.size());
  }
  std::vector<T> items_;
};

}  // namespace kvx
