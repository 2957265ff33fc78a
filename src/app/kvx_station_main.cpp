// kvx-station: the desktop station.
//   kvx-station [--home DIR] [--sim N | --sim-profile FILE]
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "ui/station_app.h"
#include "ui/station_options.h"

int main(int argc, char** argv) {
  // Help needs no display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kvx::ui::ParseStationOptions({"--help"}).message.c_str(), stdout);
      return 0;
    }
  }
  QApplication app(argc, argv);
  std::vector<std::string> args;
  const QStringList qtArgs = QCoreApplication::arguments();  // Qt's own options removed
  for (qsizetype i = 1; i < qtArgs.size(); ++i) args.push_back(qtArgs[i].toStdString());
  // The station folder defaults to the program's folder.
  return kvx::ui::RunStationApp(args, QCoreApplication::applicationDirPath());
}
