#pragma once
/// The core's closed set of expected failures and their one-line messages.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace vosket {

namespace error_kind {
struct UnknownItem {
  std::string identifier;
};
struct ItemIndexOutOfBounds {
  std::size_t index;
  std::size_t vocabulary_size;
};
struct EmptySequence {};
struct SequenceTooShort {
  std::size_t length;
  std::size_t minimum;
};
struct MissingColumn {
  std::string column;
};
struct UnsupportedColumnType {
  std::string column;
  std::string data_type;
};
struct NullValues {
  std::string column;
};
}  // namespace error_kind

/// A failure of a core operation. The set of kinds is closed: rendering
/// visits every alternative, so a new kind does not compile without a message.
class VosketError {
 public:
  using Kind = std::variant<error_kind::UnknownItem, error_kind::ItemIndexOutOfBounds,
                            error_kind::EmptySequence, error_kind::SequenceTooShort,
                            error_kind::MissingColumn, error_kind::UnsupportedColumnType,
                            error_kind::NullValues>;

  template <class K>
    requires std::is_constructible_v<Kind, K&&>
  VosketError(K&& kind) : kind_(std::forward<K>(kind)) {}  // NOLINT: implicit by design

  const Kind& kind() const noexcept { return kind_; }
  std::size_t index() const noexcept { return kind_.index(); }

  /// The message text; never fails and never truncates.
  std::string render() const;

 private:
  Kind kind_;
};

/// A column name in double quotes with `"`, `\`, NUL, tab, CR, LF and other
/// non-printable characters escaped.
std::string quote_column(std::string_view name);

}  // namespace vosket
