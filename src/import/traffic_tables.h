// The four in-memory tables of an import run: sending and delivery records read from the log,
// the per-message traffic that pairs them, and the statistics rows in the server's layout.
// The column indexes below follow each table's column order.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/data/record_set.h"
#include "platform/net/protocol.h"

namespace zeb::import {

using platform::data::RecordSet;

namespace envio {
constexpr int CDMENS = 0;
constexpr int CDREMET = 1;
constexpr int DIA = 2;
constexpr int MES = 3;
constexpr int SIZE = 4;
constexpr int ANO = 5;
}  // namespace envio
namespace recebimento {
constexpr int DIA = 0;
constexpr int MES = 1;
constexpr int NMDEST = 2;
constexpr int CDMENS = 3;
constexpr int ANO = 4;
}  // namespace recebimento
namespace intermediario {
constexpr int NMORIGEM = 0;
constexpr int NMDESTINO = 1;
constexpr int ANETLEMAIL = 2;
constexpr int MEETLEMAIL = 3;
constexpr int DIETLEMAIL = 4;
constexpr int VRVOLDADOS = 5;
}  // namespace intermediario
// The statistics rows are in the layout that the server stores.
namespace dados {
namespace protocol = platform::net::protocol;
constexpr int CDFILIAL = protocol::kCDFILIAL;
constexpr int NMORIGEM = protocol::kNMORIGEM;
constexpr int NMDESTINO = protocol::kNMDESTINO;
constexpr int ANETLEMAIL = protocol::kANETLEMAIL;
constexpr int MEETLEMAIL = protocol::kMEETLEMAIL;
constexpr int DIETLEMAIL = protocol::kDIETLEMAIL;
constexpr int BIETLEMAIL = protocol::kBIETLEMAIL;
constexpr int SEETLEMAIL = protocol::kSEETLEMAIL;
constexpr int TRETLEMAIL = protocol::kTRETLEMAIL;
constexpr int VRVOLDADOS = protocol::kVRVOLDADOS;
constexpr int QTEMAIL = protocol::kQTEMAIL;
}  // namespace dados

// The tables belong to the screen and live as long as it does; a run opens them empty and
// closes them at its end.
struct TrafficTables {
  TrafficTables();

  // Opens cdsEnvio and cdsRecebimento empty, for a parse.
  void openLogTables();
  // Closes cdsEnvio and cdsRecebimento and frees what their rows took, once the grouping has
  // consumed them.
  void releaseLogTables();
  // Closes all four, in the order the run closes them.
  void closeAll();

  RecordSet cdsEnvio;
  RecordSet cdsRecebimento;
  RecordSet cdsIntermediario;
  RecordSet cdsDados;

  // The log line of every parsed record, by row id: the log order of the two log tables
  // together, which dating and pairing need, and the line that an error names.
  std::vector<std::uint64_t> envioLines;
  std::vector<std::uint64_t> recebimentoLines;
};

}  // namespace zeb::import
