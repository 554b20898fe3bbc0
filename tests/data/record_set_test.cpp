#include "platform/data/record_set.h"

#include <gtest/gtest.h>

#include <cctype>
#include <charconv>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "platform/core/exceptions.h"
#include "platform/core/text.h"

namespace zeb::platform::data {
namespace {

using nlohmann::json;
using Values = std::vector<std::string_view>;

// A delivery table as the import keeps it: DIA, MES, NMDEST, CDMENS, ANO. Open and empty.
struct Deliveries : RecordSet {
  Deliveries()
      : RecordSet("cdsRecebimento", {{"DIA", FieldType::String, 2},
                                     {"MES", FieldType::String, 4},
                                     {"NMDEST", FieldType::String, 200},
                                     {"CDMENS", FieldType::String, 200},
                                     {"ANO", FieldType::String, 4}}) {
    open();
  }
};

void addDelivery(RecordSet& t, std::string_view queueId, std::string_view dest,
                 std::string_view ano = "2024") {
  t.append();
  t.setText(3, queueId);
  t.setText(0, "05");
  t.setText(1, "12");
  t.setText(2, dest);
  t.setText(4, ano);
  t.post();
}

// The statistics layout, trimmed to what the change-log tests need.
std::vector<FieldDef> statsFields() {
  return {{"NMORIGEM", FieldType::String, 10},
          {"NMDESTINO", FieldType::String, 10},
          {"QTEMAIL", FieldType::Double, 0},
          {"SIZE", FieldType::Integer, 0}};
}

json statsPacket(json rows) {
  return json{{"columns",
               {{{"name", "NMORIGEM"}, {"type", "string"}, {"size", 10}},
                {{"name", "NMDESTINO"}, {"type", "string"}, {"size", 10}},
                {{"name", "QTEMAIL"}, {"type", "double"}},
                {{"name", "SIZE"}, {"type", "integer"}}}},
              {"rows", std::move(rows)}};
}

std::string exceptionMessage(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.what();
  }
  return "(no exception)";
}

// Column CDMENS of the current row, or "" when there is none.
std::string currentId(const RecordSet& t) { return std::string(t.text(3)); }

TEST(RecordSet, OpenEmptyTableIsAtBothEnds) {
  Deliveries t;
  EXPECT_TRUE(t.isEmpty());
  EXPECT_TRUE(t.bof());
  EXPECT_TRUE(t.eof());
  EXPECT_EQ(t.recordCount(), 0u);
  EXPECT_EQ(t.recNo(), 0u);
  EXPECT_EQ(t.state(), DataSetState::Browse);
  t.first();
  t.next();
  t.prior();
  EXPECT_TRUE(t.bof() && t.eof());
}

TEST(RecordSet, ClosedTableRefusesWork) {
  RecordSet t("cdsEnvio", {{"CDMENS", FieldType::String, 200}});
  EXPECT_EQ(t.state(), DataSetState::Inactive);
  EXPECT_EQ(exceptionMessage([&] { t.append(); }), "table cdsEnvio is not open");
  EXPECT_EQ(exceptionMessage([&] { t.first(); }), "table cdsEnvio is not open");
  EXPECT_TRUE(t.isEmpty());
  t.open();
  t.append();
  t.setText(0, "Q1");
  t.post();
  t.close();
  EXPECT_EQ(exceptionMessage([&] { t.text(0); }), "table cdsEnvio is not open");
}

TEST(RecordSet, RowsKeepTheOrderOfAddition) {
  Deliveries t;
  addDelivery(t, "A1", "ana@example.com");
  addDelivery(t, "B2", "bia@example.com");
  addDelivery(t, "C3", "caio@example.com");
  EXPECT_EQ(t.recordCount(), 3u);
  EXPECT_EQ(currentId(t), "C3");  // a posted row becomes current
  std::vector<std::string> seen;
  for (t.first(); !t.eof(); t.next()) seen.push_back(currentId(t));
  EXPECT_EQ(seen, (std::vector<std::string>{"A1", "B2", "C3"}));
  EXPECT_EQ(currentId(t), "C3");  // next() past the end stays on the last row
}

TEST(RecordSet, FieldIndexIgnoresLetterCaseAndNamesMissingColumns) {
  Deliveries t;
  EXPECT_EQ(t.fieldIndex("cdmens"), 3);
  EXPECT_EQ(exceptionMessage([&] { t.fieldIndex("SIZE"); }),
            "table cdsRecebimento has no column SIZE");
}

TEST(RecordSet, SettersNeedEditOrInsertMode) {
  Deliveries t;
  EXPECT_EQ(exceptionMessage([&] { t.setText(0, "05"); }),
            "table cdsRecebimento is not in edit or insert mode");
  EXPECT_EQ(exceptionMessage([&] { t.post(); }),
            "table cdsRecebimento is not in edit or insert mode");
  EXPECT_EQ(exceptionMessage([&] { t.edit(); }), "table cdsRecebimento is empty");
  EXPECT_EQ(exceptionMessage([&] { t.deleteCurrent(); }), "table cdsRecebimento is empty");
}

TEST(RecordSet, TypeMismatchesAreRefused) {
  RecordSet t("cdsEnvio", {{"CDMENS", FieldType::String, 200}, {"SIZE", FieldType::Integer, 0}});
  t.open();
  t.append();
  EXPECT_EQ(exceptionMessage([&] { t.setInteger(0, 1); }),
            "column CDMENS of table cdsEnvio is not a number column");
  EXPECT_EQ(exceptionMessage([&] { t.setText(1, "1"); }),
            "column SIZE of table cdsEnvio is not a text column");
  EXPECT_EQ(exceptionMessage([&] { t.setNumber(1, 1.5); }),
            "column SIZE of table cdsEnvio is not a floating-point column");
  EXPECT_EQ(exceptionMessage([&] { t.setInteger(2, 1); }), "table cdsEnvio has no column number 2");
}

TEST(RecordSet, DoubleColumnsServeAsIntegers) {
  RecordSet t("cdsIntermediario", {{"VRVOLDADOS", FieldType::Double, 0}});
  t.open();
  t.append();
  t.setInteger(0, 2147483647);
  t.post();
  EXPECT_EQ(t.integer(0), 2147483647);
  EXPECT_EQ(t.number(0), 2147483647.0);
  t.edit();
  t.setNumber(0, 2.5);
  EXPECT_EQ(t.integer(0), 2);  // half to even
  t.setNumber(0, 3e9);
  EXPECT_THROW(t.integer(0), EConvertError);
}

struct WidthCase {
  int width;
  std::string value;
  std::string stored;
};

class RecordSetWidth : public testing::TestWithParam<WidthCase> {};

TEST_P(RecordSetWidth, CutsAtTheWidthInCharacters) {
  const WidthCase& c = GetParam();
  RecordSet t("t", {{"NMDEST", FieldType::String, c.width}});
  t.open();
  t.append();
  t.setText(0, c.value);
  EXPECT_EQ(t.text(0), c.stored);
  t.post();
  EXPECT_EQ(t.text(0), c.stored);
}

INSTANTIATE_TEST_SUITE_P(Cases, RecordSetWidth,
                         testing::Values(WidthCase{4, "abc", "abc"}, WidthCase{4, "abcd", "abcd"},
                                         WidthCase{4, "abcde", "abcd"}, WidthCase{3, "ação", "açã"},
                                         WidthCase{4, "ação", "ação"},  // 6 bytes, 4 characters
                                         WidthCase{2, "日本語", "日本"}, WidthCase{1, "😀x", "😀"},
                                         WidthCase{2, "a😀b", "a😀"}, WidthCase{5, "1°Bim", "1°Bim"},
                                         WidthCase{5, "", ""}));

TEST(RecordSet, CutsQueueIdsOnlyWhereTheColumnIsNarrow) {
  RecordSet envio("cdsEnvio", {{"CDMENS", FieldType::String, 12}});
  envio.open();
  envio.append();
  envio.setText(0, "4XyZb2Lq9Mz3kP7");
  envio.post();
  EXPECT_EQ(envio.text(0), "4XyZb2Lq9Mz3");
  Deliveries recebimento;
  addDelivery(recebimento, "4XyZb2Lq9Mz3kP7", "ana@example.com");
  EXPECT_EQ(recebimento.text(3), "4XyZb2Lq9Mz3kP7");
}

// --- Keyed look-up ----------------------------------------------------------------------------

constexpr std::string_view kKey = "CDMENS;ANO;MES;DIA";

bool locateId(RecordSet& t, std::string_view id, std::string_view ano = "2024") {
  Values values{id, ano, "12", "05"};
  return t.locate(kKey, values);
}

TEST(RecordSet, LocateFindsTheFirstMatchInTableOrder) {
  Deliveries t;
  addDelivery(t, "Q1", "first@example.com");
  addDelivery(t, "Q2", "other@example.com");
  addDelivery(t, "Q1", "second@example.com");
  addDelivery(t, "Q1", "third@example.com");
  ASSERT_TRUE(locateId(t, "Q1"));
  EXPECT_EQ(t.text(2), "first@example.com");
  EXPECT_EQ(t.recNo(), 1u);
  t.deleteCurrent();
  EXPECT_EQ(t.text(2), "other@example.com");  // the next row becomes current
  ASSERT_TRUE(locateId(t, "Q1"));
  EXPECT_EQ(t.text(2), "second@example.com");
  t.deleteCurrent();
  ASSERT_TRUE(locateId(t, "Q1"));
  EXPECT_EQ(t.text(2), "third@example.com");
  t.deleteCurrent();
  EXPECT_TRUE(t.eof());  // the last row went: the new last row is current
  EXPECT_EQ(t.text(2), "other@example.com");
  EXPECT_FALSE(locateId(t, "Q1"));
  EXPECT_EQ(t.text(2), "other@example.com");  // a failed look-up leaves the cursor
}

TEST(RecordSet, LocateComparesEveryKeyColumn) {
  Deliveries t;
  addDelivery(t, "Q1", "old@example.com", "2023");
  addDelivery(t, "Q1", "new@example.com", "2024");
  ASSERT_TRUE(locateId(t, "Q1", "2024"));
  EXPECT_EQ(t.text(2), "new@example.com");
  EXPECT_FALSE(locateId(t, "Q1", "2022"));
  EXPECT_FALSE(locateId(t, "Q1", ""));
}

TEST(RecordSet, LocateIgnoresLetterCase) {
  Deliveries t;
  addDelivery(t, "3f2a1b4c5d", "ana@example.com");
  addDelivery(t, "3F2A1B4C5D", "bia@example.com");
  ASSERT_TRUE(locateId(t, "3F2A1B4C5D"));
  EXPECT_EQ(t.text(2), "ana@example.com");
  t.deleteCurrent();
  ASSERT_TRUE(locateId(t, "3f2A1b4C5d"));
  EXPECT_EQ(t.text(2), "bia@example.com");
  EXPECT_EQ(t.text(3), "3F2A1B4C5D");  // the stored letter case stays
}

TEST(RecordSet, LocateCutsALongValueAsTheStoredOneWasCut) {
  RecordSet t("cdsDados", {{"NMORIGEM", FieldType::String, 5}});
  t.open();
  t.append();
  t.setText(0, "ação-longa");
  t.post();
  t.append();
  t.post();
  Values longer{"AÇÃO-diferente"};  // Ç and Ã do not fold
  EXPECT_FALSE(t.locate("NMORIGEM", longer));
  Values same{"AçãO-diferente"};
  ASSERT_TRUE(t.locate("NMORIGEM", same));
  EXPECT_EQ(t.text(0), "ação-");
  Values unknown{"never stored"};
  EXPECT_FALSE(t.locate("NMORIGEM", unknown));
}

TEST(RecordSet, LocateFollowsEditedKeys) {
  Deliveries t;
  addDelivery(t, "Q1", "a@example.com");
  addDelivery(t, "Q2", "b@example.com");
  addDelivery(t, "Q1", "c@example.com");
  ASSERT_TRUE(locateId(t, "Q1"));  // builds the index
  t.edit();
  t.setText(3, "Q9");
  t.post();
  ASSERT_TRUE(locateId(t, "Q1"));
  EXPECT_EQ(t.text(2), "c@example.com");
  ASSERT_TRUE(locateId(t, "Q2"));
  t.edit();
  t.setText(3, "q9");  // joins Q9 between its rows: the first row keeps the lead
  t.post();
  addDelivery(t, "Q9", "d@example.com");
  std::vector<std::string> order;
  while (locateId(t, "Q9")) {
    order.emplace_back(t.text(2));
    t.deleteCurrent();
  }
  EXPECT_EQ(order, (std::vector<std::string>{"a@example.com", "b@example.com", "d@example.com"}));
  EXPECT_EQ(t.recordCount(), 1u);
}

TEST(RecordSet, LocateSeesRowsAddedAfterTheIndexWasBuilt) {
  Deliveries t;
  EXPECT_FALSE(locateId(t, "Q1"));
  addDelivery(t, "Q1", "a@example.com");
  addDelivery(t, "Q1", "b@example.com");
  t.first();
  t.next();
  t.deleteCurrent();  // the tail of the group goes
  addDelivery(t, "Q1", "c@example.com");
  std::vector<std::string> order;
  while (locateId(t, "Q1")) {
    order.emplace_back(t.text(2));
    t.deleteCurrent();
  }
  EXPECT_EQ(order, (std::vector<std::string>{"a@example.com", "c@example.com"}));
  EXPECT_TRUE(t.isEmpty());
}

TEST(RecordSet, LocatePostsAPendingRowFirst) {
  Deliveries t;
  t.append();
  t.setText(3, "Q1");
  t.setText(4, "2024");
  t.setText(1, "12");
  t.setText(0, "05");
  ASSERT_TRUE(locateId(t, "Q1"));
  EXPECT_EQ(t.state(), DataSetState::Browse);
  EXPECT_EQ(t.recordCount(), 1u);
}

TEST(RecordSet, KeyListsAreChecked) {
  RecordSet t("cdsEnvio", {{"CDMENS", FieldType::String, 12}, {"SIZE", FieldType::Integer, 0}});
  t.open();
  EXPECT_EQ(exceptionMessage([&] { t.prepareKey("CDMENS;SIZE"); }),
            "key column SIZE of table cdsEnvio is not a text column");
  EXPECT_EQ(exceptionMessage([&] { t.prepareKey("CDMENS;NMDEST"); }),
            "table cdsEnvio has no column NMDEST");
  RecordSet::KeyHandle key = t.prepareKey("CDMENS");
  EXPECT_EQ(t.prepareKey("cdmens"), key);
  Values two{"a", "b"};
  EXPECT_EQ(exceptionMessage([&] { t.locate(key, two); }),
            "key CDMENS of table cdsEnvio has 1 columns, but 2 values were given");
}

TEST(RecordSet, LocateScalesOverManyBlocksOfRows) {
  Deliveries t;
  constexpr int kRows = 20000;
  for (int i = 0; i < kRows; ++i) addDelivery(t, "Q" + std::to_string(i / 2), "x@example.com");
  std::uint32_t early = 0;
  for (int i = 0; i < kRows / 2; ++i) {
    ASSERT_TRUE(locateId(t, "Q" + std::to_string(i))) << i;
    if (i == 0) early = t.rowId();
    t.deleteCurrent();
  }
  EXPECT_EQ(t.recordCount(), static_cast<std::size_t>(kRows / 2));
  EXPECT_FALSE(t.gotoRowId(early));
  ASSERT_TRUE(locateId(t, "Q9999"));
  EXPECT_EQ(t.recNo(), static_cast<std::size_t>(kRows / 2));
  EXPECT_EQ(t.rowId(), static_cast<std::uint32_t>(kRows - 1));
}

TEST(RecordSet, ColumnsOfDistinctTextsStillCompareIgnoringCase) {
  // Enough distinct queue ids that the column stops looking texts up.
  Deliveries t;
  for (int i = 0; i < 10000; ++i) addDelivery(t, "Qx" + std::to_string(i), "x@example.com");
  ASSERT_TRUE(locateId(t, "QX9999"));
  addDelivery(t, "qX9999", "late@example.com");
  addDelivery(t, "qx1", "late@example.com");
  ASSERT_TRUE(locateId(t, "Qx9999"));
  t.deleteCurrent();
  ASSERT_TRUE(locateId(t, "qx9999"));
  EXPECT_EQ(t.text(2), "late@example.com");
  t.edit();
  t.setText(3, "QX1");  // joins the group of an old row, behind it
  t.post();
  ASSERT_TRUE(locateId(t, "qx1"));
  EXPECT_EQ(t.text(3), "Qx1");
  t.deleteCurrent();
  ASSERT_TRUE(locateId(t, "qx1"));
  EXPECT_EQ(t.text(3), "QX1");
  t.deleteCurrent();
  ASSERT_TRUE(locateId(t, "qx1"));
  EXPECT_EQ(t.text(3), "qx1");
}

// The index against a plain scan, over a long mix of appends, key edits, deletes and look-ups
// on few keys: groups come and go, slots are deleted, reused and rehashed.
TEST(RecordSet, LocateAgreesWithAScanOverManyChanges) {
  RecordSet t("t", {{"K", FieldType::String, 8}, {"N", FieldType::Integer, 0}});
  t.open();
  struct Row {
    std::string key;
    int n;
  };
  std::vector<Row> model;  // live rows in table order
  std::uint32_t state = 12345;
  auto random = [&](std::uint32_t below) {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % below;
  };
  auto keyText = [&](std::uint32_t k) {
    std::string text = "key" + std::to_string(k);
    if (random(2) == 0) text[0] = 'K';  // letter case must not matter
    return text;
  };
  auto lower = [](std::string text) {
    for (char& c : text) c = asciiLower(c);
    return text;
  };
  auto firstInModel = [&](const std::string& key) {
    for (std::size_t i = 0; i < model.size(); ++i) {
      if (lower(model[i].key) == lower(key)) return static_cast<int>(i);
    }
    return -1;
  };
  int serial = 0;
  for (int step = 0; step < 20000; ++step) {
    std::uint32_t op = random(10);
    std::string key = keyText(random(step < 10000 ? 300 : 20));
    if (op < 4) {
      t.append();
      t.setText(0, key);
      t.setInteger(1, ++serial);
      t.post();
      model.push_back({key, serial});
      continue;
    }
    Values values{key};
    int expected = firstInModel(key);
    ASSERT_EQ(t.locate("K", values), expected >= 0) << "step " << step;
    if (expected < 0) continue;
    ASSERT_EQ(t.integer(1), model[static_cast<std::size_t>(expected)].n) << "step " << step;
    if (op < 8) {
      t.deleteCurrent();
      model.erase(model.begin() + expected);
    } else {
      std::string other = keyText(random(300));
      t.edit();
      t.setText(0, other);
      t.post();
      model[static_cast<std::size_t>(expected)].key = other;
    }
  }
  EXPECT_EQ(t.recordCount(), model.size());
}

// --- Cells and look-ups from another table ----------------------------------------------------

TEST(RecordSet, SetTextFromAnotherTableStoresItsTextCutToTheWidth) {
  RecordSet source("source", {{"T", FieldType::String, 10}, {"N", FieldType::Integer, 0}});
  RecordSet target("target", {{"S", FieldType::String, 4}, {"W", FieldType::String, 10}});
  source.open();
  target.open();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"abcdefgh", "abcd"},
      {"a\xC3\xA7\xC3\xA3o ok", "a\xC3\xA7\xC3\xA3o"},
      {"ab", "ab"}};
  for (int round = 0; round < 2; ++round) {  // the second time from what the target remembers
    for (const auto& [text, narrow] : cases) {
      source.append();
      source.setText(0, text);
      source.post();
      target.append();
      target.setText(0, source, 0);
      target.setText(1, source, 0);
      target.post();
      EXPECT_EQ(target.text(0), narrow) << round;
      EXPECT_EQ(target.text(1), text) << round;
    }
  }
  EXPECT_EQ(exceptionMessage([&] { target.setText(0, source, 0); }),
            "table target is not in edit or insert mode");
  target.append();
  EXPECT_EQ(exceptionMessage([&] { target.setText(0, source, 1); }),
            "column N of table source is not a text column");
  source.close();
  EXPECT_EQ(exceptionMessage([&] { target.setText(0, source, 0); }), "table source is not open");
}

TEST(RecordSet, WhatATableLearntOfASourceLapsesWhenTheSourceIsReloaded) {
  RecordSet source("source", {{"T", FieldType::String, 10}});
  RecordSet target("target", {{"T", FieldType::String, 10}});
  const int fields[] = {0};
  source.open();
  target.open();
  auto addSource = [&](std::string_view text) {
    source.append();
    source.setText(0, text);
    source.post();
  };
  addSource("a@x");
  target.append();
  target.setText(0, source, 0);
  target.post();
  ASSERT_TRUE(target.locate(target.prepareKey("T"), source, fields));

  source.close();  // the same text ids now name other texts
  source.open();
  addSource("zz@y");
  EXPECT_FALSE(target.locate(target.prepareKey("T"), source, fields));
  target.append();
  target.setText(0, source, 0);
  target.post();
  EXPECT_EQ(target.text(0), "zz@y");

  source.open();
  addSource("A@X");
  ASSERT_TRUE(target.locate(target.prepareKey("T"), source, fields));
  EXPECT_EQ(target.text(0), "a@x");
}

// Look-ups keyed by a source row against look-ups by its texts, while the source is consumed from
// its front (now and then from further on) and the target gains rows from it: texts in and out of
// the target, in other letter cases, cut to the target's width, and in a target column that has
// stopped looking texts up (texts without fold ids).
TEST(RecordSet, LocateByASourceRowAgreesWithLocateByItsTexts) {
  RecordSet target(
      "target",
      {{"A", FieldType::String, 6}, {"N", FieldType::Integer, 0}, {"B", FieldType::String, 8}});
  RecordSet source(
      "source",
      {{"B", FieldType::String, 8}, {"M", FieldType::Integer, 0}, {"A", FieldType::String, 10}});
  target.open();
  source.open();
  std::uint32_t state = 777;
  auto random = [&](std::uint32_t below) {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % below;
  };
  auto anyCase = [&](std::string text) {
    for (char& c : text) {
      if (random(3) == 0) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
  };
  for (int i = 0; i < 5000; ++i) {  // distinct texts: column B stops looking them up
    target.append();
    target.setText(0, "a" + std::to_string(i % 7));
    target.setText(2, "u" + std::to_string(i));
    target.post();
  }
  const char* longer[] = {"abcdefgh", "ABCDEFxy", "abcdef"};  // all the same once cut to 6
  for (int i = 0; i < 4000; ++i) {
    source.append();
    source.setText(0, anyCase("u" + std::to_string(random(6000))));
    source.setText(2, random(4) == 0 ? std::string(longer[random(3)])
                                     : anyCase("a" + std::to_string(random(9))));
    source.post();
  }
  const RecordSet::KeyHandle key = target.prepareKey("A;B");
  const int fields[] = {2, 0};
  source.first();
  int found = 0;
  for (int step = 0; !source.isEmpty(); ++step) {
    Values values{source.text(2), source.text(0)};
    bool byTexts = target.locate(key, values);
    std::uint32_t row = byTexts ? target.rowId() : 0;
    ASSERT_EQ(target.locate(key, source, fields), byTexts) << "step " << step;
    if (byTexts) {
      ASSERT_EQ(target.rowId(), row) << "step " << step;
      ++found;
    } else if (random(2) == 0) {
      target.append();
      target.setText(0, source, 2);
      target.setText(2, source, 0);
      target.post();
    }
    if (random(10) == 0 && !source.eof()) {
      source.next();
    } else {
      source.deleteCurrent();
    }
  }
  EXPECT_GT(found, 300);
}

TEST(RecordSet, LocateByASourceRowChecksItsColumns) {
  Deliveries target;
  RecordSet source("source", {{"T", FieldType::String, 10}, {"N", FieldType::Integer, 0}});
  source.open();
  const RecordSet::KeyHandle key = target.prepareKey(kKey);
  const int two[] = {0, 0};
  EXPECT_EQ(exceptionMessage([&] { target.locate(key, source, two); }),
            "key CDMENS;ANO;MES;DIA of table cdsRecebimento has 4 columns, but 2 source columns "
            "were given");
  const int withNumber[] = {0, 0, 1, 0};
  EXPECT_EQ(exceptionMessage([&] { target.locate(key, source, withNumber); }),
            "column N of table source is not a text column");
}

// --- Walks ------------------------------------------------------------------------------------

TEST(RecordSet, BackwardWalkEditsEveryRowAndEndsAtBof) {
  Deliveries t;
  for (const char* id : {"A", "B", "C"}) addDelivery(t, id, "x@example.com", "");
  int year = 2024;
  int steps = 0;
  t.last();
  EXPECT_TRUE(t.eof());
  while (!t.bof()) {
    t.edit();
    t.setText(4, std::to_string(year--));
    t.prior();  // posts the edit
    ++steps;
  }
  EXPECT_EQ(steps, 3);
  EXPECT_EQ(t.state(), DataSetState::Browse);
  EXPECT_EQ(currentId(t), "A");
  std::vector<std::string> years;
  for (t.first(); !t.eof(); t.next()) years.emplace_back(t.text(4));
  EXPECT_EQ(years, (std::vector<std::string>{"2022", "2023", "2024"}));
}

TEST(RecordSet, ForwardDeleteLoopEmptiesTheTable) {
  Deliveries t;
  for (const char* id : {"A", "B", "C"}) addDelivery(t, id, "x@example.com");
  std::vector<std::string> seen;
  t.first();
  EXPECT_TRUE(t.bof());
  while (!t.isEmpty()) {
    seen.push_back(currentId(t));
    EXPECT_EQ(t.recNo(), 1u);
    EXPECT_EQ(t.recNo() == t.recordCount(), seen.size() == 3);
    t.deleteCurrent();
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_TRUE(t.bof() && t.eof());
  EXPECT_EQ(t.recNo(), 0u);
}

TEST(RecordSet, RecNoCountsLiveRowsBeforeTheCurrentOne) {
  Deliveries t;
  for (int i = 0; i < 10; ++i) addDelivery(t, "Q" + std::to_string(i), "x@example.com");
  ASSERT_TRUE(locateId(t, "Q7"));
  EXPECT_EQ(t.recNo(), 8u);
  ASSERT_TRUE(locateId(t, "Q2"));
  t.deleteCurrent();
  ASSERT_TRUE(locateId(t, "Q5"));
  t.deleteCurrent();
  addDelivery(t, "Q10", "x@example.com");  // appended after the positions were counted
  EXPECT_EQ(t.recNo(), 9u);
  EXPECT_EQ(t.recordCount(), 9u);
  ASSERT_TRUE(locateId(t, "Q7"));
  EXPECT_EQ(t.recNo(), 6u);
}

TEST(RecordSet, CancelDropsThePendingRow) {
  Deliveries t;
  addDelivery(t, "A", "x@example.com");
  t.append();
  t.setText(3, "B");
  t.cancel();
  EXPECT_EQ(t.recordCount(), 1u);
  EXPECT_EQ(currentId(t), "A");
  t.edit();
  t.setText(3, "Z");
  EXPECT_EQ(currentId(t), "Z");
  t.cancel();
  EXPECT_EQ(currentId(t), "A");
}

TEST(RecordSet, RowIdsAreStable) {
  Deliveries t;
  for (const char* id : {"A", "B", "C"}) addDelivery(t, id, "x@example.com");
  t.first();
  t.next();
  std::uint32_t b = t.rowId();
  EXPECT_EQ(b, 1u);
  t.first();
  t.deleteCurrent();
  ASSERT_TRUE(t.gotoRowId(b));
  EXPECT_EQ(currentId(t), "B");
  t.deleteCurrent();
  EXPECT_FALSE(t.gotoRowId(b));
  EXPECT_FALSE(t.gotoRowId(99));
  EXPECT_EQ(currentId(t), "C");
}

// --- Change log and packets -------------------------------------------------------------------

// A statistics table loaded with three base rows.
struct LoadedStats : RecordSet {
  LoadedStats() : RecordSet("cdsDados", statsFields()) {
    loadPacket(statsPacket({{"a", "x", 1.0, 10}, {"b", "y", 2.0, 20}, {"c", "z", 3.0, 30}}));
  }
};

void appendStats(RecordSet& t, std::string_view origin, double count) {
  t.append();
  t.setText(0, origin);
  t.setText(1, "n");
  t.setNumber(2, count);
  t.setInteger(3, 7);
  t.post();
}

TEST(RecordSet, LoadPacketReplacesTheContent) {
  LoadedStats t;
  EXPECT_TRUE(t.active());
  EXPECT_EQ(t.recordCount(), 3u);
  EXPECT_TRUE(t.bof());
  EXPECT_EQ(t.text(0), "a");
  EXPECT_EQ(t.changeCount(), 0);
  EXPECT_EQ(t.packet(),
            statsPacket({{"a", "x", 1.0, 10}, {"b", "y", 2.0, 20}, {"c", "z", 3.0, 30}}));
}

TEST(RecordSet, DeltaListsChangesInTheOrderOfTheirFirstChange) {
  LoadedStats t;
  ASSERT_TRUE(t.locate("NMORIGEM", Values{"B"}));
  t.edit();
  t.setNumber(2, 5.0);
  t.post();
  t.edit();  // a second edit of the same row stays one update against the base
  t.setNumber(2, 6.0);
  t.post();
  appendStats(t, "new", 1.0);  // insert, then edit: one insert with the current values
  t.edit();
  t.setNumber(2, 2.0);
  t.post();
  appendStats(t, "gone", 1.0);  // insert, then delete: no trace
  t.deleteCurrent();
  ASSERT_TRUE(t.locate("NMORIGEM", Values{"c"}));  // edit, then delete: one delete
  t.edit();
  t.setText(1, "w");
  t.post();
  t.deleteCurrent();
  ASSERT_TRUE(t.locate("NMORIGEM", Values{"a"}));
  t.deleteCurrent();
  EXPECT_EQ(t.changeCount(), 4);
  json expected = statsPacket(json::array());
  expected.erase("rows");
  expected["changes"] = {
      {{"op", "update"}, {"old", {"b", "y", 2.0, 20}}, {"row", {"b", "y", 6.0, 20}}},
      {{"op", "insert"}, {"row", {"new", "n", 2.0, 7}}},
      {{"op", "delete"}, {"old", {"c", "z", 3.0, 30}}},
      {{"op", "delete"}, {"old", {"a", "x", 1.0, 10}}}};
  EXPECT_EQ(t.delta(), expected);
  std::string text;
  t.writeDelta(text);  // the text that is sent says the same
  EXPECT_EQ(json::parse(text), expected);

  t.mergeChangeLog();
  EXPECT_EQ(t.changeCount(), 0);
  EXPECT_EQ(t.delta()["changes"], json::array());
  EXPECT_EQ(t.packet(), statsPacket({{"b", "y", 6.0, 20}, {"new", "n", 2.0, 7}}));

  // After the merge the inserted row is part of the base: changing it is an update.
  ASSERT_TRUE(t.locate("NMORIGEM", Values{"new"}));
  t.edit();
  t.setNumber(2, 3.0);
  t.post();
  EXPECT_EQ(
      t.delta()["changes"],
      json({{{"op", "update"}, {"old", {"new", "n", 2.0, 7}}, {"row", {"new", "n", 3.0, 7}}}}));
  t.loadPacket(statsPacket(json::array()));
  EXPECT_EQ(t.changeCount(), 0);
  EXPECT_TRUE(t.isEmpty());
  EXPECT_FALSE(t.locate("NMORIGEM", Values{"new"}));
}

TEST(RecordSet, WrittenDeltaEscapesWhatJsonNeedsAndKeepsUtf8) {
  LoadedStats t;
  const std::string odd = "q\"\\\n\t\x01\xC3\xA3\xE2\x82\xAC";  // eight characters, fits
  appendStats(t, odd, 1.5);
  std::string text;
  t.writeDelta(text);
  EXPECT_NE(text.find("[\"q\\\"\\\\\\n\\t\\u0001\xC3\xA3\xE2\x82\xAC\","), std::string::npos)
      << text;
  EXPECT_EQ(json::parse(text), t.delta());
}

TEST(RecordSet, WrittenDeltaWritesNumbersInTheirShortestForm) {
  RecordSet t("t", {{"V", FieldType::Double, 0}});
  t.open();
  const double values[] = {0.0,
                           -0.0,
                           1,
                           -1,
                           99999,
                           100000,
                           -100000,
                           120000,
                           1234500000,
                           1e15,
                           123456789012345,
                           9007199254740992.0,
                           9007199254740994.0,
                           1e21,
                           0.5,
                           -2.25,
                           1e-7,
                           4294967296.0};
  std::string expected = "[{\"columns\":[{\"name\":\"V\",\"type\":\"double\"}],\"changes\":[";
  for (double v : values) {
    t.append();
    t.setNumber(0, v);
    t.post();
    char digits[32];
    if (expected.back() == '}') expected += ",";
    expected += "{\"op\":\"insert\",\"row\":[";
    expected.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
    expected += "]}";
  }
  expected += "]}";
  std::string text = "[";  // a delta goes after what the caller has written
  t.writeDelta(text);
  EXPECT_EQ(text, expected);
}

TEST(RecordSet, ARowChangedAgainAfterAMergeIsLoggedAgain) {
  LoadedStats t;
  double before = 2.0;
  for (double value : {5.0, 6.0}) {
    ASSERT_TRUE(t.locate("NMORIGEM", Values{"b"}));
    t.edit();
    t.setNumber(2, value);
    t.post();
    std::string text;
    t.writeDelta(text);
    EXPECT_EQ(
        json::parse(text)["changes"],
        json(
            {{{"op", "update"}, {"old", {"b", "y", before, 20}}, {"row", {"b", "y", value, 20}}}}));
    t.mergeChangeLog();
    before = value;
  }
}

TEST(RecordSet, ChangeLogCanBeSwitchedOff) {
  Deliveries t;
  t.setLogChanges(false);
  addDelivery(t, "A", "x@example.com");
  t.deleteCurrent();
  addDelivery(t, "B", "x@example.com");
  EXPECT_EQ(t.changeCount(), 0);
  EXPECT_EQ(t.delta()["changes"], json::array());
  t.setLogChanges(true);  // the content so far is the base
  t.deleteCurrent();
  EXPECT_EQ(t.changeCount(), 1);
  EXPECT_EQ(t.delta()["changes"][0]["op"], "delete");
}

TEST(RecordSet, AfterPostFiresAfterEveryPost) {
  LoadedStats t;
  std::vector<int> counts;
  t.setAfterPost([&](RecordSet& self) {
    counts.push_back(self.changeCount());
    if (self.changeCount() >= 2) self.mergeChangeLog();  // as an upload batch does
  });
  appendStats(t, "d", 1.0);
  t.first();
  t.edit();
  t.setNumber(2, 9.0);
  t.next();  // posts
  t.edit();
  t.setNumber(2, 9.0);
  t.post();
  EXPECT_EQ(counts, (std::vector<int>{1, 2, 1}));
  EXPECT_EQ(t.changeCount(), 1);
}

TEST(RecordSet, AfterPostFailureLeavesTheRowPosted) {
  LoadedStats t;
  t.setAfterPost([](RecordSet&) { throw Exception("server down"); });
  t.append();
  t.setText(0, "d");
  EXPECT_EQ(exceptionMessage([&] { t.post(); }), "server down");
  EXPECT_EQ(t.state(), DataSetState::Browse);
  EXPECT_EQ(t.recordCount(), 4u);
  EXPECT_EQ(t.changeCount(), 1);
}

TEST(RecordSet, LoadPacketCutsLongTextsAndMatchesColumnsByName) {
  RecordSet t("cdsDados", statsFields());
  json packet{{"columns",
               {{{"name", "size"}, {"type", "integer"}},
                {{"name", "EXTRA"}, {"type", "string"}, {"size", 3}},
                {{"name", "QTEMAIL"}, {"type", "double"}},
                {{"name", "NMDESTINO"}, {"type", "string"}, {"size", 10}},
                {{"name", "NMORIGEM"}, {"type", "string"}, {"size", 10}}}},
              {"rows", {{-2147483648LL, "ignored", 4, "destino-muito-longo", "ação-ação-ação"}}}};
  t.loadPacket(packet);
  EXPECT_EQ(t.packet()["rows"], json({{"ação-ação-", "destino-mu", 4.0, -2147483648LL}}));
}

struct RefusedCase {
  const char* what;
  json packet;
  std::string message;
};

class RecordSetRefusedPacket : public testing::TestWithParam<RefusedCase> {};

TEST_P(RecordSetRefusedPacket, LeavesTheContentAsItWas) {
  LoadedStats t;
  ASSERT_TRUE(t.locate("NMORIGEM", Values{"b"}));
  t.edit();
  t.setInteger(3, 99);
  t.post();
  json before = t.packet();
  EXPECT_EQ(exceptionMessage([&] { t.loadPacket(GetParam().packet); }), GetParam().message);
  EXPECT_EQ(t.packet(), before);
  EXPECT_EQ(t.changeCount(), 1);
  EXPECT_TRUE(t.locate("NMORIGEM", Values{"c"}));
}

json withoutColumn(const char* name) {
  json p = statsPacket(json::array());
  auto& columns = p["columns"];
  for (auto it = columns.begin(); it != columns.end(); ++it) {
    if ((*it)["name"] == name) {
      columns.erase(it);
      break;
    }
  }
  return p;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordSetRefusedPacket,
    testing::Values(
        RefusedCase{"NotAnObject", json::array(),
                    "data packet for table cdsDados has no column list"},
        RefusedCase{"NoRows", json{{"columns", json::array()}},
                    "data packet for table cdsDados has no row list"},
        RefusedCase{"LacksColumn", withoutColumn("NMDESTINO"),
                    "data packet for table cdsDados lacks column NMDESTINO"},
        RefusedCase{"ShortRow", statsPacket({{"a", "x", 1.0, 10}, {"a", "x", 1.0}}),
                    "data packet for table cdsDados: row index 1 has 3 values, expected 4"},
        RefusedCase{"RowNotAList", statsPacket({"a"}),
                    "data packet for table cdsDados: row index 0 has no list of values, "
                    "expected 4"},
        RefusedCase{"NumberForText", statsPacket({{"a", 5, 1.0, 10}}),
                    "data packet for table cdsDados: row index 0, column NMDESTINO: expected a "
                    "string, got 5"},
        RefusedCase{"TextForDouble", statsPacket({{"a", "x", "1", 10}}),
                    "data packet for table cdsDados: row index 0, column QTEMAIL: expected a "
                    "number, got \"1\""},
        RefusedCase{"FractionForInteger", statsPacket({{"a", "x", 1.0, 1.5}}),
                    "data packet for table cdsDados: row index 0, column SIZE: expected an "
                    "integer, got 1.5"},
        RefusedCase{"NullForText", statsPacket({{nullptr, "x", 1.0, 1}}),
                    "data packet for table cdsDados: row index 0, column NMORIGEM: expected a "
                    "string, got null"},
        RefusedCase{"IntegerTooLarge", statsPacket({{"a", "x", 1.0, 2147483648LL}}),
                    "data packet for table cdsDados: row index 0, column SIZE: 2147483648 is "
                    "out of the 32-bit integer range"},
        RefusedCase{"IntegerTooSmall", statsPacket({{"a", "x", 1.0, -2147483649LL}}),
                    "data packet for table cdsDados: row index 0, column SIZE: -2147483649 is "
                    "out of the 32-bit integer range"}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return info.param.what; });

TEST(RecordSet, CloseEmptiesTheTableAndKeepsKeyHandles) {
  Deliveries t;
  RecordSet::KeyHandle key = t.prepareKey(kKey);
  addDelivery(t, "Q1", "a@example.com");
  Values values{"Q1", "2024", "12", "05"};
  ASSERT_TRUE(t.locate(key, values));
  t.close();
  EXPECT_FALSE(t.active());
  EXPECT_TRUE(t.isEmpty());
  t.open();
  EXPECT_FALSE(t.locate(key, values));
  addDelivery(t, "Q1", "b@example.com");
  ASSERT_TRUE(t.locate(key, values));
  EXPECT_EQ(t.text(2), "b@example.com");
}

}  // namespace
}  // namespace zeb::platform::data

namespace zeb::platform {
namespace {

// The escaping that COPY rows and TSV listings share: the four bytes that would break a field or
// a line are escaped wherever they fall, and everything else passes whole.
TEST(TabEscaped, EscapesBackslashTabCrAndLfAndCopiesTheRest) {
  struct Case {
    std::string_view text, written;
  };
  const Case cases[] = {
      {"", ""},
      {"plain@example.test", "plain@example.test"},
      {"a\\b\tc\rd\ne", "a\\\\b\\tc\\rd\\ne"},
      {"\\\\", "\\\\\\\\"},
      {"\n", "\\n"},
      {"ends\t", "ends\\t"},
      {"caf\xC3\xA9\x01\"", "caf\xC3\xA9\x01\""},
  };
  for (const Case& c : cases) {
    std::string out = "x";
    appendTabEscaped(out, c.text);
    EXPECT_EQ(out, "x" + std::string(c.written)) << c.text;
  }
}

}  // namespace
}  // namespace zeb::platform
