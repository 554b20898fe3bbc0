// The base of the host's import and export screens: a main area on the left, a command column
// on the right (the import command and the close command), and a progress panel at the bottom
// with the status line and the progress bar.
//
//   +--------------------------------+------+
//   | grbDadosRel                    |panMenu: panBotoes (sbtImportExport, sbtSair)
//   |                                |       panHelp (lblCodTela)
//   +--------------------------------+------+
//   | panProgresso: lblProgresso, pgbProgresso |
//   +---------------------------------------+
//
// When the screen's height changes, the main area and the command column take the new client
// height above the progress panel, which stays at the bottom.
#pragma once

#include <string_view>

#include "host/buttons.h"
#include "host/messages.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace zeb::host {

class TfrmPadrImportExport : public platform::ui::Form {
 public:
  // The height of the progress panel at the bottom of the client area.
  static constexpr int kProgressPanelHeight = 32;

  // Builds the controls at their designed places for a 420 x 116 client area and binds the
  // form's key-press and close events to FormKeyPress and FormClose. A derived screen builds
  // its own controls and then runs FormCreate; its destructor runs FormDestroy.
  explicit TfrmPadrImportExport(std::string_view name);
  ~TfrmPadrImportExport() override;

  // The creation handler: the status line empty, the progress bar at 0.
  virtual void FormCreate(platform::ui::Control& sender);
  // The destruction handler: hides the busy animation and puts the default cursor back, in
  // case the screen goes while it waits for the server.
  virtual void FormDestroy(platform::ui::Control& sender);
  // Escape (27) closes the screen; other keys go on unchanged.
  virtual void FormKeyPress(platform::ui::Control& sender, char& key);
  // Hides the screen (caHide): the one instance of a screen lives as long as its module, and
  // the next opening shows it again.
  virtual void FormClose(platform::ui::Control& sender, platform::ui::TCloseAction& action);
  // The import command's handler; a screen puts its import here.
  virtual void sbtImportExportClick(platform::ui::Control& /*sender*/) {}

  platform::ui::GroupBox grbDadosRel;  // the main area
  platform::ui::Panel panMenu;         // the command column
  platform::ui::Panel panBotoes;
  platform::ui::Button sbtImportExport;  // the import command
  // The close command. Screens disable it with their file controls while they work.
  platform::ui::Button sbtSair;
  platform::ui::Panel panHelp;
  platform::ui::Label lblCodTela;  // the screen code
  platform::ui::Panel panProgresso;
  platform::ui::Label lblProgresso;  // the status line
  platform::ui::ProgressBar pgbProgresso;
  TMessages msgPadrao;

 private:
  void layOut();
};

}  // namespace zeb::host
