#include "vosket/error.hpp"

#include <cstdio>
#include <type_traits>

namespace vosket {

std::string quote_column(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out.push_back('"');
  // Walk UTF-8 code points; bytes that do not form a valid sequence are
  // escaped one by one by their byte value.
  std::size_t i = 0;
  while (i < name.size()) {
    const auto b0 = static_cast<unsigned char>(name[i]);
    char32_t cp = b0;
    std::size_t len = 1;
    if (b0 >= 0x80) {
      std::size_t need = 0;
      if ((b0 & 0xE0) == 0xC0) {
        need = 1;
        cp = b0 & 0x1Fu;
      } else if ((b0 & 0xF0) == 0xE0) {
        need = 2;
        cp = b0 & 0x0Fu;
      } else if ((b0 & 0xF8) == 0xF0) {
        need = 3;
        cp = b0 & 0x07u;
      }
      bool valid = need > 0;
      for (std::size_t k = 1; valid && k <= need; ++k) {
        if (i + k >= name.size()) {
          valid = false;
          break;
        }
        const auto b = static_cast<unsigned char>(name[i + k]);
        if ((b & 0xC0) != 0x80) {
          valid = false;
          break;
        }
        cp = (cp << 6) | (b & 0x3Fu);
      }
      if (valid) {
        static constexpr char32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[need] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) valid = false;
      }
      if (valid) {
        len = need + 1;
      } else {
        cp = b0;
        len = 1;
      }
    }
    const std::string_view raw = name.substr(i, len);
    i += len;
    switch (cp) {
      case U'"':
        out += "\\\"";
        continue;
      case U'\\':
        out += "\\\\";
        continue;
      case U'\0':
        out += "\\0";
        continue;
      case U'\t':
        out += "\\t";
        continue;
      case U'\r':
        out += "\\r";
        continue;
      case U'\n':
        out += "\\n";
        continue;
      default:
        break;
    }
    // Non-printable: C0/C1 controls, DEL, and bytes of invalid UTF-8.
    const bool control = cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || (len == 1 && cp >= 0x80);
    const bool invisible = cp == 0x2028 || cp == 0x2029 || cp == 0xFEFF || cp == 0xAD ||
                           (cp >= 0x200B && cp <= 0x200F) || (cp >= 0xE000 && cp <= 0xF8FF) ||
                           (cp >= 0xFFF9 && cp <= 0xFFFB) || (cp & 0xFFFE) == 0xFFFE;
    if (control || invisible) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
      out += buf;
    } else {
      out += raw;
    }
  }
  out.push_back('"');
  return out;
}

namespace {
template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;
}  // namespace

std::string VosketError::render() const {
  using namespace error_kind;
  return std::visit(
      Overloaded{
          [](const UnknownItem& e) { return "unknown item identifier: " + e.identifier; },
          [](const ItemIndexOutOfBounds& e) {
            return "item index " + std::to_string(e.index) + " out of bounds (vocabulary holds " +
                   std::to_string(e.vocabulary_size) + " items)";
          },
          [](const EmptySequence&) { return std::string("operation requires a non-empty sequence"); },
          [](const SequenceTooShort& e) {
            return "sequence has " + std::to_string(e.length) + " interactions but at least " +
                   std::to_string(e.minimum) + " are required";
          },
          [](const MissingColumn& e) {
            return "interaction table is missing required column " + quote_column(e.column);
          },
          [](const UnsupportedColumnType& e) {
            return "column " + quote_column(e.column) + " has unsupported type " + e.data_type +
                   " for interaction ingestion";
          },
          [](const NullValues& e) {
            return "interaction column " + quote_column(e.column) +
                   " contains nulls, which are not permitted";
          },
      },
      kind_);
}

}  // namespace vosket
