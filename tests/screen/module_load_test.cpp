// Loads libzeb18000.so as a host does, into a program that links only the host library and the
// toolkit, and drives the screen through the controls it finds by name.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "host/brenmor.h"
#include "platform/core/exceptions.h"
#include "platform/ui/application.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"
#include "platform/ui/test_backend.h"

namespace {

namespace ui = zeb::platform::ui;
namespace fs = std::filesystem;

template <typename T>
T* symbol(void* module, const char* name) {
  void* address = dlsym(module, name);
  EXPECT_NE(address, nullptr) << name;
  return reinterpret_cast<T*>(address);
}

TEST(ModuleLoadTest, a_host_loads_the_module_and_shares_one_application_with_it) {
  ui::TestBackend backend;
  ui::ScopedBackend scope(backend);
  zeb::host::setHostSettings({"0001", "127.0.0.1", 9});
  void* module = dlopen(ZEB_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto* initialize = symbol<void()>(module, "Initialize");
  auto* iniProc = symbol<void()>(module, "IniProc");
  auto* finalize = symbol<void()>(module, "Finalize");
  bool* boStCriado = symbol<bool>(module, "boStCriado");
  bool* boImport = symbol<bool>(module, "boImport");
  void** screenVariable = symbol<void*>(module, "frmImpEmailInternet");

  initialize();
  EXPECT_TRUE(*boImport);
  EXPECT_FALSE(*boStCriado);
  EXPECT_TRUE(ui::application().forms().empty());

  iniProc();
  ASSERT_EQ(ui::application().forms().size(), 1u);
  ui::Form& screen = *ui::application().forms()[0];
  EXPECT_EQ(screen.name(), "frmImpEmailInternet");
  EXPECT_EQ(*screenVariable, static_cast<void*>(&screen));
  EXPECT_TRUE(*boStCriado);
  EXPECT_TRUE(screen.visible());
  EXPECT_EQ(backend.cursorHistory(), (std::vector<int>{ui::kCrHourGlass, ui::kCrDefault}));

  // A later opening shows the same screen again, restored.
  screen.setWindowState(ui::WindowState::Minimized);
  screen.close();
  iniProc();
  EXPECT_EQ(ui::application().forms().size(), 1u);
  EXPECT_TRUE(screen.visible());
  EXPECT_EQ(screen.windowState(), ui::WindowState::Normal);

  // An opening during a run neither resets the screen nor disturbs the run; the stop that
  // follows ends it as the operator asked.
  fs::path log = fs::temp_directory_path() / ("zeb_module_load_" + std::to_string(getpid()));
  {
    std::ofstream out(log);
    for (int i = 0; i < 100; ++i) {
      out << "Dec  5 10:00:00 mx postfix/qmgr[1]: A" << i << ": from=<a@example.com>, size=1\n"
          << "Dec  5 10:00:01 mx postfix/smtp[2]: A" << i << ": to=<b@example.org>, status=sent\n";
    }
  }
  auto* edit = static_cast<ui::Edit*>(screen.findChild("edtArqEmail"));
  auto* importCommand = static_cast<ui::Button*>(screen.findChild("sbtImportExport"));
  auto* stop = static_cast<ui::Button*>(screen.findChild("btfParar"));
  auto* status = static_cast<ui::Label*>(screen.findChild("lblProgresso"));
  ASSERT_TRUE(edit && importCommand && stop && status);
  edit->setText(log.string());
  std::string statusDuringOpening;
  backend.atPump(backend.pumpCount() + 60, [&] {
    iniProc();
    statusDuringOpening = status->caption();
    stop->press();
  });
  backend.answerDialog(ui::kMrYes);
  importCommand->press();
  fs::remove(log);
  EXPECT_EQ(statusDuringOpening, "Recebendo dados do arquivo");
  EXPECT_EQ(status->caption(), "Importação finalizada pelo usuário. Nenhum dado importado");
  EXPECT_FALSE(*boImport);
  EXPECT_EQ(ui::application().forms().size(), 1u);

  // The host destroys the screen before it unloads the module.
  ui::application().destroyOwnedForms();
  EXPECT_TRUE(ui::application().forms().empty());
  EXPECT_FALSE(*boStCriado);
  EXPECT_EQ(*screenVariable, nullptr);
  finalize();
  EXPECT_EQ(dlclose(module), 0);
  zeb::host::setHostSettings({});
}

}  // namespace
