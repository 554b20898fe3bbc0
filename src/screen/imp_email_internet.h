// The mail-log import screen "Importação de Log de E-mail" (ZEB18000): the operator names a
// Postfix mail log, by typing its path or choosing it in a file dialog, and imports it into the
// application server's e-mail statistics with the import command. During a run the operator can
// stop it; after one, the details group shows its summary.
//
// All of this belongs to the user-interface thread.
#pragma once

#include "host/base_screen.h"
#include "host/buttons.h"
#include "import/net_server_object.h"
#include "import/traffic_tables.h"
#include "platform/net/net_connection.h"
#include "platform/ui/controls.h"
#include "platform/ui/open_dialog.h"

namespace zeb::screen {

namespace ui = platform::ui;

class TfrmImpEmailInternet : public host::TfrmPadrImportExport {
 public:
  // The growth of the screen's outer height when the details unfold.
  static constexpr int kDetailsHeight = 83;
  static constexpr const char* kFileFilter =
      "Arquivos para importação (*.txt, *.log)|*.txt; *.log|Todos os arquivos|*.*";

  // Builds the screen as designed, visible, and runs FormCreate, which connects netEmail to the
  // application server (host and port from the host library at that moment). A failed connect
  // does not raise here: the first server call of a run raises it.
  TfrmImpEmailInternet();
  // Runs FormDestroy, which disconnects.
  ~TfrmImpEmailInternet() override;

  // --- Handlers ---
  void FormCreate(ui::Control& sender) override;
  void FormDestroy(ui::Control& sender) override;
  // Escape is dropped while a run is going on; every key then goes to the base screen.
  void FormKeyPress(ui::Control& sender, char& key) override;
  // A close is refused (caNone) while a run is going on; otherwise the base screen decides.
  void FormClose(ui::Control& sender, ui::TCloseAction& action) override;
  // The import run: validation, lock, the phases, the completion text, and the clean-up on
  // every path. Errors pass to the caller (the host) after the clean-up; a user error has been
  // shown already and passes as the silent EAbort.
  void sbtImportExportClick(ui::Control& sender) override;
  // The reset on every change of the file name: details folded, status empty, details command
  // disabled, progress 0, boImport true.
  void edtArqEmailChange(ui::Control& sender);
  // File choice through odgArquivo, which may choose several logs; a confirmed choice replaces
  // the file name: one path as it stands, several as the quoted list of log_paths.h.
  void btpArqEmailClick(ui::Control& sender);
  // Unfolds or folds the details by the button's caption.
  void btfDetalhesClick(ui::Control& sender);
  // Asks "Parar importação?"; Yes clears boImport, empties the status line and disables the
  // stop command.
  void btfPararClick(ui::Control& sender);
  void netEmailBeforeConnect(platform::net::TNetConnection& sender);

  // --- Utilities ---
  // Validates the file name (one path, or a quoted list of them) and leaves the verdict in
  // boEmail: an empty name, a list that cannot be read, or no file at a path ends the calling
  // operation through MensErro (EAbort), whose detail names the first missing file
  // ("no file at PATH").
  void Vd_Arquivos();
  // Enables (true) or disables (false) the file controls, the close command and the import
  // command, and gives the edit field the window or the button-face colour.
  void CtrlComps(bool enabled);

  // --- Controls, in the screen's main area ---
  ui::GroupBox grbArquivo;
  ui::Label lblArqEmail;
  ui::Edit edtArqEmail;
  host::TBtnPesquisa btpArqEmail;
  host::TButtonFlat btfParar;
  host::TButtonFlat btfDetalhes;
  ui::GroupBox grbDetEmail;
  ui::Label lblPerEmail;
  ui::Label lblPerImpEmail;
  ui::Label lblQtEmail;
  ui::Label lblQtImpEmail;
  ui::Label lblRegAgrup;
  ui::Label lblDadAgrup;
  ui::OpenDialog odgArquivo;

  // The connection to the application server and the upload's view of its remote object.
  platform::net::TNetConnection netEmail;
  import::NetServerObject serverObject{netEmail};

  // The run's four tables; open only during a run.
  import::TrafficTables tables;

 private:
  void buildControls();
  // The failure path: closes and deletes what the run opened, unlocks the screen.
  void cleanUpAfterFailure();
};

}  // namespace zeb::screen
