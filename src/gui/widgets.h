// Pieces the program's windows share: the small dialog font their pixel
// layouts are measured for, the tool bar of captioned buttons, and the
// error box for what a window's own handler raises.
#pragma once

#include <QStyle>
#include <exception>

#include "core/errors.h"
#include "ops/interaction.h"

class QString;
class QTableWidget;
class QToolBar;
class QToolButton;
class QWidget;

namespace ztv {

// The 8-point font the windows' pixel layouts are measured for; larger
// default fonts would cut captions and column titles.
void UseSmallDialogFont(QWidget* window);
// The tool bar "tbButtons": captions beside 16-pixel pictures.
QToolBar* NewButtonBar(QWidget* window);
// A captioned button with a standard picture, added to `bar`.
QToolButton* AddBarButton(QToolBar* bar, const char* name, const char* caption, QStyle::StandardPixmap icon);

// Sets a grid column to at least its designed width, wider when a word of
// its title needs more in the platform's font (titles wrap between words
// and are never cut).
void SetColumnWidthForTitle(QTableWidget* grid, int column, int designedWidth, const QString& title);

// Runs `action`; an error it raises is shown in the error box.
template <typename F>
void ShowErrorsOf(Interaction& ui, F&& action) {
  try {
    action();
  } catch (const Exception& e) {
    ui.ShowError(e.what());
  } catch (const std::exception& e) {
    ui.ShowError(e.what());
  }
}

}  // namespace ztv
