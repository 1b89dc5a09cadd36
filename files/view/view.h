// Read-only views over one keyed file: what the browses' page queues are
// filled from.
//
// A View reads the records of one file in the order of one of its keys,
// optionally restricted by a filter expression (filter.h), into the file's
// own record buffer, and gives each record it reads a position string that
// finds the same place again later. It works through the file-driver layer
// alone (file_ops.h and the error state), so it serves any file of a driver
// with keys; the file must be open, and the view never writes to it.
//
// A typical fill of one page:
//
//   Bindings names;                       // the window's, kept as long as the window
//   names.bind("BRW1::Sort1:Reset:TTB:IDNr", &reset_id);
//   View chars(Translations, TRA_CHARACTERSKEY, &names);
//   chars.project({"TRA:ASCIINR", "TRA:CHARACTER", "TRA:HTMLCHARS", "TRA:TRANSLATIONTABLEID"});
//   if (auto e = chars.set_filter("TRA:TranslationTableID = BRW1::Sort1:Reset:TTB:IDNr")) {
//     // show message 36 "View Open Error"; the view goes on without a filter
//   }
//   chars.first();                        // reset_id's value is taken here
//   while (rows < page && chars.next() == 0) {
//     queue.push(chars.value(0).integer, chars.value(1).text, ..., chars.position());
//   }
//   if (ERRORCODE() != 0 && ERRORCODE() != 33) { /* message 35, ERRORFILE() */ }
//
// Placing and reading. first(), last(), reset() and locate() place the view;
// next() and previous() then read from that place:
//   first()          next() reads the first record of the order (of the
//                    filter's range), previous() answers 33;
//   last()           previous() reads the last record, next() answers 33;
//   reset(position)  next() reads the record of the position, or the first
//                    after it when that record has gone; previous() reads
//                    that record, or the last before it (the position's
//                    record itself is met both ways, so a reader that
//                    continues from a row it has skips the row when the
//                    position read equals the row's);
//   locate()         the caller has put a value into the key's fields of the
//                    record buffer: next() reads the first record whose key
//                    is at or after the value, previous() the last at or
//                    before it.
// Each further next() or previous() reads on from the record read last, in
// either direction. Records that do not pass the filter are passed over.
// When nothing is left that way the read answers 33 ("Record Not
// Available") and leaves the record buffer as it was before the call; the
// view then answers 33 to every read until it is placed again.
//
// Bound variables are read when the view is placed (each of first, last,
// reset, locate), not when the filter is set and not while reading: a fill
// sees one consistent value even when the program changes the variable in
// the middle of it.
//
// Ranges. When the filter fixes the key's leading components by equality
// with a variable or a literal (joined to the rest of the expression by AND
// at its top), the view reads only that range of the key: it sets the key at
// the range's start (or end), and the first record outside it ends the read.
// A page then costs a few driver reads however large the file. Components
// that qualify: BYTE, SHORT, USHORT, LONG, ULONG, DATE and TIME compared with
// an integer; STRING compared with a text when the key is case-sensitive.
// The range's start is the fixed values with every further component at its
// lowest value in key order (its end: at its highest), strings made of the
// characters 0 (255), which every collation keeps at the ends. A position
// from outside the range (a row of another table) places the view at the
// range's start when it lies in front of the range in the direction read,
// and reads as the end otherwise; "in front" compares STRING components
// byte by byte.
// Every other filter (and the rest of a range filter) is evaluated record by
// record, which reads as much of the file as it takes to find passing
// records.
//
// Position strings are kPositionLength (512) characters: the length of the
// driver's own position of the record in the key's order as 4 decimal
// digits, the driver's position, blanks. They are compared by equality only.
// A position finds its record again after any refill and after other
// programs added or deleted records; when its record was deleted, the view is
// placed at the record's neighbour in key order. A record whose driver
// position is longer than 508 characters (with the keyed driver: a key of
// more than 504 bytes) cannot be read through a view: the read answers 88
// ("Invalid Key Length").
//
// Errors. Every method that touches the file returns the error code it left
// in the error state (0 on success), like ERRORCODE() right after it. Driver
// errors other than 33 come back as the driver posted them, with the error
// state intact (code, text, ERRORFILE()); the view must be placed again
// after one. The view posts on its own: 33 at the end of a range or of the
// filter's passing records, 35 for a position string that is blank or not
// one of a view's, 88 as above.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "files/driver/descriptors.h"
#include "files/view/filter.h"

namespace files::view {

class View {
 public:
  static constexpr std::size_t kPositionLength = 512;

  // A view of `file` in the order of `key`, which must be one of the file's
  // keys (key.file == &file). `bindings` (may be null) supplies the
  // variables of filters; the file, the key and the bindings must outlive
  // the view. The view holds no driver state of its own: making and
  // dropping views costs nothing, and the file may be used between reads
  // (a read after other operations on the file must be preceded by placing
  // the view again, since those operations move the driver's sequence).
  View(FileDescriptor& file, KeyDescriptor& key, const Bindings* bindings = nullptr);

  FileDescriptor& file() const { return file_; }
  KeyDescriptor& key() const { return key_; }

  // --- Projection -------------------------------------------------------------------------------

  // Names the fields (labels, case-insensitive) whose values the caller
  // takes after each read, as columns 0, 1, ... The file must be open.
  // Returns false, naming the first label that is not a readable field of
  // the file in *unknown, and keeps the earlier projection.
  bool project(const std::vector<std::string_view>& labels, std::string* unknown = nullptr);
  std::size_t columns() const { return columns_.size(); }
  const FieldRef& column(std::size_t i) const { return columns_.at(i); }
  // The column's bytes in the record buffer, and its value (filter.h,
  // Field values: integers, reals, texts with their blank padding).
  std::span<const std::uint8_t> bytes(std::size_t i) const;
  Value value(std::size_t i) const;

  // --- Filter -----------------------------------------------------------------------------------

  // Sets the filter (empty or blank: none). A malformed expression is
  // returned as an error and the view goes on without a filter. The file
  // must be open. The view must be placed again before it reads.
  std::optional<FilterError> set_filter(std::string_view expression);
  bool filtered() const { return !filter_.empty(); }
  // Whether the view was last placed reading only a key range (see Ranges),
  // and how many leading key components that range fixed.
  std::size_t range_components() const { return fixed_.size(); }

  // --- Placing ---------------------------------------------------------------------------------

  int first();
  int last();
  int reset(std::string_view position);
  int locate();

  // --- Reading ---------------------------------------------------------------------------------

  int next() { return read(true); }
  int previous() { return read(false); }

  // The position string of the record read last (blank before the first).
  const std::string& position() const { return position_; }

  // Reads the record of `position` into the record buffer without placing
  // the view: 35 when it has gone (or the position is blank or foreign),
  // else the driver's outcome. For reading a row back before changing it.
  int reget(std::string_view position);

  // Driver reads (NEXT and PREVIOUS) this view has issued: what the ranges
  // save, made visible.
  std::uint64_t driver_reads() const { return reads_; }

  // The driver's position carried in a view position string; nullopt when
  // `position` is not one (blank, wrong length, bad header).
  static std::optional<std::string> driver_position(std::string_view position);
  // The view position string that carries `driver_position`; nullopt when
  // it does not fit.
  static std::optional<std::string> view_position(std::string_view driver_position);

 private:
  enum class Edge : std::uint8_t { none, start, end };

  // One fixed leading component of the key, as the filter fixed it when the
  // view was placed last.
  struct Fixed {
    FieldRef field;
    bool descending = false;
    Value value;
  };

  // Takes the variables' values and works out the range; false when the
  // range can hold no record at all.
  bool take_values();
  // Fills the key's fixed components in the record buffer with the range's
  // values and (unless only_fixed) the others with their lowest (or
  // highest) values in key order.
  void fill_key(bool low, bool only_fixed);
  // Where the record in the buffer lies against the range: < 0 before, 0
  // inside, > 0 after (in key order).
  int against_range() const;
  // Places the driver's sequence at the range's start (or end).
  int seek_edge(bool low);
  int read(bool forward);
  int fail(int code);       // posts a code of the view's own and unplaces it

  FileDescriptor& file_;
  KeyDescriptor& key_;
  const Bindings* bindings_;
  std::vector<FieldRef> columns_;
  Filter filter_;
  std::vector<Fixed> fixed_;
  bool placed_ = false;
  bool empty_range_ = false;
  bool just_reset_ = false;   // the next read is the first after reset()
  Edge edge_ = Edge::none;
  std::string position_;
  std::vector<std::uint8_t> saved_;
  std::uint64_t reads_ = 0;
};

}  // namespace files::view
