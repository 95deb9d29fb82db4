#pragma once

#include "options/command_line_option.h"
#include "options/keyed_collection.h"

#include <cstdint>
#include <memory>
#include <string>

namespace morex {

// The options of one command line, fetched by key (text, letter case ignored) or by
// position (a whole number from 1).
class CommandLineOptions {
public:
  using Member = KeyedCollection::Member;

  // Forward iterator over the members in collection order.
  class Enumerator {
  public:
    class iterator {
    public:
      explicit iterator(KeyedCollection::const_iterator at) : at_(at) {}
      const Member &operator*() const { return at_->item; }
      iterator &operator++() {
        ++at_;
        return *this;
      }
      bool operator!=(const iterator &other) const { return at_ != other.at_; }
      bool operator==(const iterator &other) const { return at_ == other.at_; }

    private:
      KeyedCollection::const_iterator at_;
    };
    explicit Enumerator(const KeyedCollection &items) : items_(items) {}
    iterator begin() const { return iterator(items_.begin()); }
    iterator end() const { return iterator(items_.end()); }

  private:
    const KeyedCollection &items_;
  };

  Member Add(const std::u16string &Key, const Variant &Value, const std::u16string &sKey = {});
  // The shared member itself: it stays valid after it is removed from the collection.
  Member Item(const Variant &vntIndexKey) const;
  Member operator[](const Variant &vntIndexKey) const { return Item(vntIndexKey); }
  std::int32_t Count() const noexcept { return colItems.Count(); }
  void Remove(const Variant &vntIndexKey);
  Enumerator NewEnum() const { return Enumerator(colItems); }
  Enumerator::iterator begin() const { return NewEnum().begin(); }
  Enumerator::iterator end() const { return NewEnum().end(); }

  // Splits the argument text at single spaces and adds one member per option or word.
  void LoadCommandLineArgs(const std::u16string &strCommandLine);

private:
  KeyedCollection colItems;
};

} // namespace morex
