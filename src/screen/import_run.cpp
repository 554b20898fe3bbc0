// The import command of the screen: one synchronous run on the user-interface thread that takes
// the named mail log through every phase, and always leaves the screen unlocked, the tables
// closed and the work file deleted.
#include <exception>

#include "import/log_paths.h"
#include "import/module_state.h"
#include "import/phase_sequence.h"
#include "platform/os/file_services.h"
#include "screen/imp_email_internet.h"

namespace zeb::screen {

namespace {

void deleteWorkFile() {
  if (!stArqTemp.empty()) platform::os::deleteFile(stArqTemp);
}

}  // namespace

void TfrmImpEmailInternet::sbtImportExportClick(ui::Control&) {
  Vd_Arquivos();

  CtrlComps(false);
  boRegsImp = false;
  lblProgresso.setCaption("");
  edtArqEmailChange(edtArqEmail);
  // The previous run's work file is gone, and its name may since have been given to another
  // program's temporary file: a run that fails before it names its own must delete none.
  stArqTemp.clear();

  try {
    import::PhaseOptions options;
    options.ui = {this, &lblProgresso, &pgbProgresso, &msgPadrao, [this] {
                    CtrlComps(true);
                    edtArqEmail.setFocus();
                  }};
    options.labels = {&lblQtImpEmail, &lblPerImpEmail, &lblDadAgrup};
    options.server = &serverObject;
    options.working = [this] { btfParar.setEnabled(true); };
    import::runPhases(import::splitLogPaths(edtArqEmail.text()), tables, options);
    ui::application().flush();

    if (boImport) {
      lblProgresso.setCaption(msgPadrao.Msg("Imp_Conc"));
      btfDetalhes.setEnabled(true);
    } else if (!boRegsImp) {
      lblProgresso.setCaption(msgPadrao.Msg("user_canc") + ". " + msgPadrao.Msg("no_data"));
      btfDetalhes.setEnabled(false);
    } else {
      pgbProgresso.setPosition(pgbProgresso.max());
      lblProgresso.setCaption(msgPadrao.Msg("user_canc"));
      btfDetalhes.setEnabled(true);
    }
    // Also after a stop: the stop command disables itself, but a stop made by clearing boImport
    // alone (as a host may) would leave it enabled.
    btfParar.setEnabled(false);

    refresh();
    tables.closeAll();
    CtrlComps(true);
    deleteWorkFile();
    ui::application().flush();
  } catch (...) {
    cleanUpAfterFailure();
    throw;
  }
}

void TfrmImpEmailInternet::cleanUpAfterFailure() {
  // The run's own error is the one to report: a failure here must not take its place.
  try {
    deleteWorkFile();
  } catch (const std::exception&) {
  }
  CtrlComps(true);
  tables.closeAll();
  btfParar.setEnabled(false);
  // A log read from a pipe made the bar a marquee, which must not go on moving after the run.
  pgbProgresso.setStyle(ui::ProgressBarStyle::Normal);
  ui::application().flush();
}

}  // namespace zeb::screen
