// The one rule for the members of an object: they go in ascending key order (keys compare as
// unsigned bytes), and of the members that share a key only the last in text order stays. The
// readers of JSON text and the decompiler of images keep their own walks but all order keys here,
// so that no two of them can disagree on which member wins. Free of Python.
#pragma once

#include <algorithm>
#include <cstddef>
#include <type_traits>

namespace vorn {

// The text position of a sort item: the item itself when it is an integer, else its `ordinal`.
template <class Item>
constexpr auto key_order_ordinal(const Item& item) noexcept {
  if constexpr (std::is_integral_v<Item>) {
    return item;
  } else {
    return item.ordinal;
  }
}

// The length of the run of items at the front whose keys strictly ascend: when it is n, the
// members are in order already and none shares a key.
template <class Item, class Compare>
size_t ascending_prefix(const Item* items, size_t n, Compare compare) {
  size_t k = 1;
  while (k < n && compare(items[k - 1], items[k]) < 0) ++k;
  return n == 0 ? 0 : k;
}

// Orders the n items, one per member in text order, by key and keeps the winners: afterwards
// items[0, result) are the members that stay, in ascending key order. `compare(a, b)` is a
// three-way comparison of two items' keys (negative, zero, positive); `sorted` is a count of
// items at the front known to ascend strictly (see ascending_prefix), 0 when none is known.
// Up to INSERTION_MAX members an insertion sort is quickest; beyond it a general sort, with
// ties broken by text position so that the last member of each run of equal keys ends it.
template <size_t INSERTION_MAX, class Item, class Compare>
size_t order_keys(Item* items, size_t n, Compare compare, size_t sorted = 0) {
  const auto before = [&compare](const Item& a, const Item& b) {
    const int c = compare(a, b);
    return c < 0 || (c == 0 && key_order_ordinal(a) < key_order_ordinal(b));
  };
  if (n <= INSERTION_MAX) {
    for (size_t j = sorted > 0 ? sorted : 1; j < n; ++j) {
      const Item x = items[j];
      size_t h = j;
      for (; h > 0 && before(x, items[h - 1]); --h) items[h] = items[h - 1];
      items[h] = x;
    }
  } else {
    std::sort(items, items + n, before);
  }
  size_t kept = 0;
  for (size_t k = 0; k < n; ++k) {
    if (k + 1 < n && compare(items[k], items[k + 1]) == 0) continue;
    items[kept++] = items[k];
  }
  return kept;
}

}  // namespace vorn
