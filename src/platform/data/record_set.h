// Client-side record sets: an in-memory table with a fixed column list, a cursor, keyed
// look-up, and (for tables exchanged with the server) a change log and data packets.
//
// Rows keep the order in which they were added: a new row always goes after all others.
// Texts are UTF-8; a text column of width n keeps at most n characters (a longer value is cut,
// never inside a character). Look-ups compare texts without regard to ASCII letter case.
//
// Not thread-safe: a record set belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zeb::platform::data {

enum class FieldType { String, Integer, Double };

struct FieldDef {
  std::string name;
  FieldType type = FieldType::String;
  int size = 0;  // String columns: the width in characters. Ignored for the others.
};

enum class DataSetState { Inactive, Browse, Edit, Insert };

class RecordSet {
 public:
  using AfterPost = std::function<void(RecordSet&)>;

  RecordSet(std::string name, std::vector<FieldDef> fields);
  ~RecordSet();
  RecordSet(const RecordSet&) = delete;
  RecordSet& operator=(const RecordSet&) = delete;

  const std::string& name() const;
  const std::vector<FieldDef>& fields() const;
  // The index of a column by name (ASCII letter case ignored). Throws Exception naming the
  // column and the table when there is none.
  int fieldIndex(std::string_view name) const;

  // Creates the table empty (CreateDataSet). Any former content is dropped.
  void open();
  // Empties the table and drops its change log and indexes; the table is then inactive.
  void close();
  bool active() const;

  // --- Cursor -------------------------------------------------------------------------------
  bool isEmpty() const;
  std::size_t recordCount() const;
  // The 1-based position of the current row among the rows of the table; 0 when empty.
  std::size_t recNo() const;
  // First/Last/Next/Prior post a pending edit or insert first, as a browse does.
  void first();  // bof() becomes true
  void last();   // eof() becomes true
  void next();   // past the last row: stays on it, eof() becomes true
  void prior();  // before the first row: stays on it, bof() becomes true
  bool bof() const;
  bool eof() const;

  // A stable number for the current row: its order of addition since open() (0-based). Rows
  // added later have greater numbers, so comparing them compares table order.
  std::uint32_t rowId() const;
  // Makes the row with that number current; false (cursor unchanged) when it was deleted.
  bool gotoRowId(std::uint32_t id);

  // --- Editing ------------------------------------------------------------------------------
  DataSetState state() const;
  // Starts a new row, blank (empty texts, zeros), that post() adds after all others.
  void append();
  // Puts the current row into edit mode. Throws when the table is empty.
  void edit();
  // Stores the row being appended or edited, keeps the indexes current, records the change
  // when the change log is on, and then fires the after-post notification.
  void post();
  // Drops the pending append or edit.
  void cancel();
  // Deletes the current row. The next row becomes current; when the last row was deleted, the
  // new last row does (and eof() is true). Throws when the table is empty. In insert mode it
  // only drops the pending row; in edit mode it drops the pending edit first.
  void deleteCurrent();

  // Field access on the current row (or the row being appended or edited); blank values when
  // there is none. A column of another type throws Exception, except that integer() and
  // setInteger() also serve double columns (read rounded half to even; EConvertError when the
  // value is outside the 32-bit range) and number() serves integer columns. The view answered
  // by text() stays valid until the table is opened, closed or loaded again.
  std::string_view text(int field) const;
  std::int32_t integer(int field) const;
  double number(int field) const;
  // Stores the text cut to the column's width. Texts must be UTF-8. Outside edit or insert mode
  // these throw Exception.
  void setText(int field, std::string_view value);
  // The same as setText(field, source.text(sourceField)): the text of a column of the current
  // row of "source" (another table, or this one). The table remembers which of its own texts
  // each text of the source became, so that a text that repeats is stored without being read,
  // hashed or looked up again. "source" may change freely between calls; what is remembered of
  // it lapses when it is opened, closed or loaded.
  void setText(int field, const RecordSet& source, int sourceField);
  void setInteger(int field, std::int32_t value);
  void setNumber(int field, double value);

  // --- Keyed look-up ------------------------------------------------------------------------
  // A key list is column names joined by ";", such as "CDMENS;ANO;MES;DIA". Only text columns
  // can be keys. prepareKey() resolves it once; the index behind it is built on first use and
  // kept current by post() and deleteCurrent().
  using KeyHandle = int;
  KeyHandle prepareKey(std::string_view keyList);
  // On success makes the first matching row in table order current and answers true; else
  // answers false and leaves the cursor where it was. One value per key column. Never scans:
  // cost is O(1) expected, whatever the table's size. A value longer than its column compares
  // as the stored value would, cut to the width. A table that has had more than 67 million rows
  // added since open() cannot be looked up (Exception).
  bool locate(KeyHandle key, std::span<const std::string_view> values);
  bool locate(std::string_view keyList, std::span<const std::string_view> values);
  // The same as locate(key, values) with the texts of the columns "sourceFields" of the current
  // row of "source" as the values (one per key column). Hashes and matches of the source's texts
  // are remembered, as for setText() from a source; and when the source is walked forward, or
  // consumed from its front, one row per look-up, the index entries of the rows ahead are
  // fetched early. A source column that is not a text column throws Exception.
  bool locate(KeyHandle key, const RecordSet& source, std::span<const int> sourceFields);

  // --- Change log and data packets ----------------------------------------------------------
  // Packets and deltas are JSON:
  //   packet: {"columns": [{"name": "CDFILIAL", "type": "string", "size": 4}, ...],
  //            "rows": [["0001", "a@example.com", ...], ...]}
  //   delta:  the same "columns", then "changes": [{"op": "insert", "row": [...]},
  //           {"op": "update", "old": [...], "row": [...]}, {"op": "delete", "old": [...]}]
  // Types are "string", "integer" and "double". Changes come in the order in which the rows
  // were first changed; "old" is the row as it was when loaded or last merged.

  // Replaces the whole content with the packet's rows (columns matched by name; extra packet
  // columns are ignored). A packet that lacks a column of the table, or whose values do not
  // fit the column types, is refused with an Exception naming the column; the content is then
  // left as it was. Afterwards the change count is 0.
  void loadPacket(const nlohmann::json& packet);
  nlohmann::json packet() const;
  // The "columns" part of a packet for this table's layout.
  nlohmann::json columnsJson() const;

  // Rows inserted, modified or deleted since the content was loaded or last merged.
  int changeCount() const;
  nlohmann::json delta() const;
  // The same delta, appended to "out" as JSON text: the fast path for sending, which builds no
  // document and allocates nothing per value.
  void writeDelta(std::string& out) const;
  // Makes the current content the base: the change log empties and changeCount() is 0.
  void mergeChangeLog();

  // Whether posts and deletions are recorded in the change log; on by default. A table whose log
  // is never read switches it off to save memory and time. Either switch empties the log and
  // makes the current content the base.
  void setLogChanges(bool on);
  bool logChanges() const;

  // Called after every successful post(), before post() returns. An exception from it leaves
  // post() (the row stays posted).
  void setAfterPost(AfterPost handler);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zeb::platform::data
