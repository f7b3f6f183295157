// How the window program sets up its application object.
#pragma once

#include <QApplication>

namespace ztv {

// Installs the toolkit's Russian texts. Gives the application no display
// name of its own: the platform would append it to every title bar
// ("Журнал — ..."), cutting the short captions of the questions; each
// window carries its exact caption instead.
void SetUpApplication(QApplication& app);

}  // namespace ztv
