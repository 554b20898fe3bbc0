// The host's settings as the operator keeps them between sessions: the branch code, the
// application server (none: the embedded one over a database file), that database, and the
// content filters whose deliveries an import leaves out.
#pragma once

#include <QDialog>
#include <QString>
#include <string>
#include <vector>

#include "platform/net/net_security.h"

class QCheckBox;
class QLineEdit;

namespace zeb::desktop {

struct ServerChoice {
  QString branch = "0001";  // 1 to 4 characters
  QString server;           // HOST:PORT or https://HOST:PORT; empty for the embedded server
  QString database = "zeb18000.db";  // the embedded server's SQLite file
  QString contentFilters;            // HOST:PORT, several separated by commas; empty for none
  QString tokenFile = {};  // the file whose first line is the server's token; empty: none is sent
  QString caFile = {};     // HTTPS: the PEM certificates to trust; empty: the system's store
  bool insecure = false;   // HTTPS: take any certificate, unverified
  bool operator==(const ServerChoice&) const = default;
};

// Kept with QSettings (organisation "zeb18000", application "zeb18000-desktop"); what is not
// stored takes the defaults above.
ServerChoice loadServerChoice();
void saveServerChoice(const ServerChoice& choice);

// What is wrong with "choice", in the operator's words, or an empty text when nothing is.
QString checkServerChoice(const ServerChoice& choice);

// How "choice" reaches its server: TLS when the address is https://, the CA file, the token read
// from its file. Raises what platform::net::readTokenFile() raises.
platform::net::NetSecurity serverSecurity(const ServerChoice& choice);

// The content filters of "choice", one HOST:PORT each, blanks around them dropped.
std::vector<std::string> contentFilterList(const ServerChoice& choice);

// The settings dialog: it answers a checked choice, or keeps asking while OK is pressed on a
// wrong one.
class SettingsDialog : public QDialog {
 public:
  SettingsDialog(const ServerChoice& choice, QWidget* parent);
  ServerChoice choice() const;

  void accept() override;

 private:
  QLineEdit* branch_;
  QLineEdit* server_;
  QLineEdit* database_;
  QLineEdit* contentFilters_;
  QLineEdit* tokenFile_;
  QLineEdit* caFile_;
  QCheckBox* insecure_;
};

}  // namespace zeb::desktop
