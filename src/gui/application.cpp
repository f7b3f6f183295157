#include "gui/application.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace ztv {

void SetUpApplication(QApplication& app) {
  auto* qt = new QTranslator(&app);
  const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  if (qt->load(QLocale(QLocale::Russian), "qtbase", "_", dir))
    app.installTranslator(qt);
  else
    delete qt;
}

}  // namespace ztv
