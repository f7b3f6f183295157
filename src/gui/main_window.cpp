#include "gui/main_window.h"
#include "gui/widgets.h"

#include <QApplication>
#include <algorithm>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QScreen>
#include <QStyle>
#include <QCloseEvent>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include "core/errors.h"
#include "gui/backup_restore_window.h"
#include "ops/backup_restore.h"

namespace ztv {
namespace {

constexpr int kButtonWidth = 182;  // wide enough for the captions in the platform font
constexpr int kButtonHeight = 25;
constexpr int kButtonTop = 9;
constexpr int kButtonStep = 31;
constexpr int kPanelWidth = 190;
constexpr int kStatusBarHeight = 19;
constexpr int kRowHeight = 16;
constexpr int kNameColumnWidth = 219;

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

TfMain::TfMain(Interaction& ui, Clock& clock, QWidget* parent) : QWidget(parent), ui_(ui) {
  setObjectName("fMain");
  setWindowTitle(QString::fromUtf8(kMainCaption));
  resize(672, 340);
  UseSmallDialogFont(this);

  // Status panel.
  GroupBox1 = new QGroupBox(QString::fromUtf8("Текущий статус системы"), this);
  GroupBox1->setObjectName("GroupBox1");
  oiParams = new QTableWidget(6, 2, GroupBox1);
  oiParams->setObjectName("oiParams");
  oiParams->setEditTriggers(QAbstractItemView::NoEditTriggers);
  oiParams->setSelectionMode(QAbstractItemView::NoSelection);
  oiParams->setFocusPolicy(Qt::NoFocus);
  oiParams->horizontalHeader()->hide();
  oiParams->verticalHeader()->hide();
  oiParams->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  oiParams->verticalHeader()->setDefaultSectionSize(kRowHeight);
  oiParams->verticalHeader()->setMinimumSectionSize(kRowHeight);
  oiParams->setColumnWidth(0, kNameColumnWidth);
  oiParams->horizontalHeader()->setStretchLastSection(true);
  oiParams->setWordWrap(false);
  QPalette pal = oiParams->palette();
  pal.setColor(QPalette::Base, pal.color(QPalette::Button));
  oiParams->setPalette(pal);
  TUpdater empty;
  auto rows = StatusRows(empty, true);
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    auto* name = new QTableWidgetItem(Q(rows[i].caption));
    name->setData(Qt::UserRole, Q(rows[i].id));
    oiParams->setItem(i, 0, name);
    oiParams->setItem(i, 1, new QTableWidgetItem());
  }
  // At least the designed width, more when the platform font needs it.
  oiParams->resizeColumnToContents(0);
  oiParams->setColumnWidth(0, std::max(kNameColumnWidth, oiParams->columnWidth(0) + 4));
  // The value column holds every status text whole (the undefined state's
  // is the longest and the one that matters most); the window grows with
  // the table when the font needs it. Longer values (paths) carry their
  // whole text as a tooltip.
  int valueWidth = 0;
  for (int32_t status : {1, 2, 0}) valueWidth = std::max(valueWidth, ValueTextWidth(Q(StatusText(status))));
  oiParams->setMinimumWidth(oiParams->columnWidth(0) + valueWidth + 2 * oiParams->frameWidth());
  auto* groupLayout = new QVBoxLayout(GroupBox1);
  groupLayout->setContentsMargins(6, 4, 6, 6);
  groupLayout->addWidget(oiParams);

  // Buttons.
  Panel1 = new QWidget(this);
  Panel1->setObjectName("Panel1");
  Panel1->setFixedWidth(kPanelWidth);
  btnUpdate = AddButton("btnUpdate", "Провести обновление", "Установить полученное с сервера обновление", 0);
  btnBackup = AddButton("btnBackup", "Оптимизация базы данных", nullptr, 1);
  btnRestore = AddButton("btnRestore", "Восстановить из копии", "Восстановить систему из резервной копии", 2);
  btnClearCache = AddButton("btnClearCache", "Очистить кэш обновлений", "Очистить каталог для хранения обновлений", 3);
  tbEmptyBase = AddButton("tbEmptyBase", "Заменить базу на пустую", "Заменить базу данных системы на пустую", 4);
  btnCheckNetSession = AddButton("btnCheckNetSession", "Блокировки файлов",
                                 "Показать файлы заблокированные сетевыми версиями", 5);
  btnClose = AddButton("btnClose", "Выход", "Выйти из программы", 6);
  Panel1->setMinimumHeight(btnClose->y() + kButtonHeight);

  QStyle* st = style();
  btnUpdate->setIcon(st->standardIcon(QStyle::SP_ArrowDown));
  btnBackup->setIcon(st->standardIcon(QStyle::SP_DriveHDIcon));
  btnRestore->setIcon(st->standardIcon(QStyle::SP_BrowserReload));
  btnClearCache->setIcon(st->standardIcon(QStyle::SP_TrashIcon));
  tbEmptyBase->setIcon(st->standardIcon(QStyle::SP_FileIcon));
  btnCheckNetSession->setIcon(st->standardIcon(QStyle::SP_DriveNetIcon));
  btnClose->setIcon(st->standardIcon(QStyle::SP_DialogCloseButton));

  ops_ = std::make_unique<MainOperations>(ui, clock, *this);
  SetButtonsEnabled(true);
  connect(btnUpdate, &QToolButton::clicked, this, [this] { RunOperation([this] { ops_->btnUpdateClick(TSender::Button); }); });
  connect(btnRestore, &QToolButton::clicked, this, [this] { RunOperation([this] { ops_->btnRestoreClick(TSender::Button); }); });
  connect(btnClearCache, &QToolButton::clicked, this,
          [this] { RunOperation([this] { ops_->btnClearCacheClick(TSender::Button); }); });
  connect(btnBackup, &QToolButton::clicked, this, [this] { btnBackupClick(); });
  connect(tbEmptyBase, &QToolButton::clicked, this,
          [this] { RunOperation([this] { ops_->tbEmptyBaseClick(TSender::Button); }); });
  connect(btnClose, &QToolButton::clicked, this, [this] { CloseMainWindow(); });
  netApi_ = CreateNetFileApi();
  fNetClose_ = std::make_unique<TfNetClose>(ui, *netApi_);
  connect(btnCheckNetSession, &QToolButton::clicked, this, [this] { btnCheckNetSessionClick(); });

  // Status bar: panel 0 the percentage, panel 1 the text.
  sbStatus = new QStatusBar(this);
  sbStatus->setObjectName("sbStatus");
  sbStatus->setSizeGripEnabled(false);
  sbStatus->setFixedHeight(kStatusBarHeight);
  sbPanel0 = new QLabel(sbStatus);
  sbPanel0->setMinimumWidth(50);
  sbPanel1 = new QLabel(sbStatus);
  sbPanel1->setMinimumWidth(50);
  sbStatus->addWidget(sbPanel0);
  sbStatus->addWidget(sbPanel1, 1);

  auto* content = new QHBoxLayout;
  content->setContentsMargins(0, 0, 0, 0);
  content->setSpacing(0);
  content->addWidget(GroupBox1, 1);
  content->addWidget(Panel1);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addLayout(content, 1);
  layout->addWidget(sbStatus);

  // The window ends just below the last button.
  resize(width(), btnClose->y() + btnClose->height() + kStatusBarHeight + 9);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

TfMain::~TfMain() = default;

void TfMain::btnCheckNetSessionClick() {
  fNetClose_->show();
  fNetClose_->raise();
  fNetClose_->activateWindow();
}

QToolButton* TfMain::AddButton(const char* name, const char* caption, const char* hint, int index) {
  auto* b = new QToolButton(Panel1);
  b->setObjectName(name);
  b->setText(QString::fromUtf8(caption));
  if (hint) b->setToolTip(QString::fromUtf8(hint));
  b->setAutoRaise(true);
  b->setIconSize(QSize(14, 14));
  b->setStyleSheet("QToolButton { padding: 0px; }");
  b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  b->setGeometry((kPanelWidth - kButtonWidth) / 2, kButtonTop + index * kButtonStep, kButtonWidth, kButtonHeight);
  return b;
}


void TfMain::OnUiThread(const std::function<void()>& action) {
  if (QThread::currentThread() == thread())
    action();
  else
    QMetaObject::invokeMethod(this, action, Qt::BlockingQueuedConnection);
}

int TfMain::ValueTextWidth(const QString& text) const {
  // An item's text keeps a margin on both sides (the focus frame's and one
  // pixel), and the grid line takes one more.
  const int margin = oiParams->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, oiParams) + 1;
  return oiParams->fontMetrics().horizontalAdvance(text) + 2 * margin + 2;
}

void TfMain::UpdateStatusPanel(bool clear) {
  OnUiThread([&] {
    auto rows = StatusRows(ops_->Updater(), clear);
    for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
      QTableWidgetItem* item = oiParams->item(i, 1);
      item->setText(Q(rows[i].value));
      item->setToolTip(Q(rows[i].value));
    }
  });
}

void TfMain::CloseMainWindow() {
  // From an operation the window closes once the operation has ended.
  if (QThread::currentThread() == thread() && !busy_)
    close();
  else
    closeRequested_ = true;
}

void TfMain::closeEvent(QCloseEvent* event) {
  if (busy_) {
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
  // The program ends with the main window, also while the open-files
  // window is shown.
  if (event->isAccepted() && fNetClose_) fNetClose_->close();
}

void TfMain::SetButtonsEnabled(bool enabled) {
  // The open-files window works beside any operation: it only shows and
  // closes network opens.
  btnUpdate->setEnabled(enabled);
  btnRestore->setEnabled(enabled);
  btnClearCache->setEnabled(enabled);
  btnBackup->setEnabled(enabled);
  tbEmptyBase->setEnabled(enabled);
  btnCheckNetSession->setEnabled(true);
  btnClose->setEnabled(enabled);
}

bool TfMain::RunOperation(std::function<void()> operation, bool wait) {
  if (busy_) return false;
  busy_ = true;
  SetButtonsEnabled(false);
  auto succeeded = std::make_shared<bool>(false);
  QThread* worker = QThread::create([this, operation = std::move(operation), succeeded] {
    ShowErrorsOf(ui_, [&] {
      operation();
      *succeeded = true;
    });
  });
  QEventLoop loop;
  connect(worker, &QThread::finished, this, [this, worker, succeeded, &loop, wait] {
    worker->deleteLater();
    busy_ = false;
    SetButtonsEnabled(true);
    emit OperationFinished(*succeeded);
    if (wait) loop.quit();
    if (closeRequested_) {
      closeRequested_ = false;
      close();
    }
  });
  worker->start();
  if (!wait) return true;
  loop.exec();
  return *succeeded;
}
void TfMain::ShowProgress(int percent, const QString& text) {
  sbPanel0->setText(QString::fromStdString(PercentText(percent)));
  sbPanel1->setText(text);
  sbStatus->repaint();
}

void TfMain::btnBackupClick() {
  if (busy_) return;
  if (!OptimisationAllowed(ops_->Updater().CurrentStatus, ui_)) return;
  // The window works on the main window's server record; it comes back
  // when the window's work is done.
  auto server = std::make_shared<TServerRecord>();
  server->FServerKind = ops_->FServerKind;
  server->FServerPath = ops_->FServerPath;
  server->FServerIsService = ops_->FServerIsService;
  auto state = std::make_shared<TBackupRestore>(ui_, ops_->GetClock(), *server, ops_->Control());
  state->ModulePath = ops_->MultiRegistryModule;
  auto giveBack = [this, server] {
    ops_->FServerKind = server->FServerKind;
    ops_->FServerPath = server->FServerPath;
    ops_->FServerIsService = server->FServerIsService;
  };
  const std::string imd = ops_->Updater().ImdFileName;
  bool loaded;
  {
    // Loading may start the server and wait for it: on the worker thread,
    // with the hour-glass.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    loaded = RunOperation(
        [state, imd] {
          state->LoadDbList(imd);
          state->RefreshDbList();
        },
        true);
    QApplication::restoreOverrideCursor();
  }
  giveBack();
  if (!loaded) return;
  bool start = false;
  {
    TfBackupRestore window(*state, ui_, this);
    if (BeforeShowBackupRestore) BeforeShowBackupRestore(window);
    start = window.exec() == QDialog::Accepted;
  }
  giveBack();
  if (!start) return;
  RunOperation([state, server, giveBack] {
    struct GiveBack {
      std::function<void()> f;
      ~GiveBack() { f(); }
    } atEnd{giveBack};
    state->DoBackupRestore();
  });
}

bool TfMain::BatchRequest(int wParam, int code) {
  return RunOperation([this, wParam, code] { ops_->BatchRequest(wParam, code); }, true);
}

void TfMain::FormShow() {
  if (formShown_) return;
  formShown_ = true;
  bool autoRun = false;
  ShowErrorsOf(ui_, [&] { autoRun = ops_->FormShow(); });
  if (autoRun) RunOperation([this] { ops_->btnUpdateClick(TSender::Form); });
}

void TfMain::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // The first show reads the settings once the window is on screen, so that
  // an error box appears over a drawn window.
  if (!showQueued_) {
    showQueued_ = true;
    QTimer::singleShot(0, this, [this] { FormShow(); });
  }
}

}  // namespace ztv
