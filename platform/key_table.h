// A number for each 64-bit key, open-addressed in one array: the look-ups of the merge and of
// the edit batch, which hold hundreds of thousands of keys and look one up for every edit,
// with no allocation per key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

class KeyTable {
  public:
    static constexpr int32_t kNone = -1;

    // kNone when the key has no number.
    int32_t Find(uint64_t key) const {
        if (slots_.empty()) return kNone;
        for (size_t i = Home(key);; i = (i + 1) & mask_) {
            if (slots_[i].key == key) return slots_[i].value;
            if (slots_[i].key == kEmpty) return kNone;
        }
    }
    // `key` is not in the table, and is not ~0.
    void Insert(uint64_t key, int32_t value) {
        if ((used_ + 1) * 2 > slots_.size()) Grow();
        size_t i = Home(key);
        while (slots_[i].key != kEmpty) i = (i + 1) & mask_;
        slots_[i] = {key, value};
        ++used_;
    }
    void clear() {
        slots_.clear();
        used_ = 0;
    }

  private:
    static constexpr uint64_t kEmpty = ~uint64_t{0};
    struct Slot {
        uint64_t key = kEmpty;
        int32_t value = kNone;
    };
    size_t Home(uint64_t key) const {
        return static_cast<size_t>((key * 0x9E3779B97F4A7C15u) >> 32) & mask_;
    }
    void Grow() {
        std::vector<Slot> old(slots_.empty() ? 64 : slots_.size() * 2);
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.key == kEmpty) continue;
            size_t i = Home(slot.key);
            while (slots_[i].key != kEmpty) i = (i + 1) & mask_;
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t used_ = 0;
};

}  // namespace platform
