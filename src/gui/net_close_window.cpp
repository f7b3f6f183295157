#include "gui/net_close_window.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QThread>
#include <QVBoxLayout>
#include <exception>

namespace ztv {
namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

constexpr int kPanelHeight = 96;

}  // namespace

TfNetPassword::TfNetPassword(QWidget* parent) : QDialog(parent) {
  setObjectName("fNetPassword");
  setWindowTitle(QString::fromUtf8("Учётная запись сервера"));
  eUser = new QLineEdit(this);
  eUser->setObjectName("eUser");
  ePassword = new QLineEdit(this);
  ePassword->setObjectName("ePassword");
  ePassword->setEchoMode(QLineEdit::Password);
  auto* form = new QFormLayout;
  form->addRow(QString::fromUtf8("Пользователь:"), eUser);
  form->addRow(QString::fromUtf8("Пароль:"), ePassword);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

TfNetClose::TfNetClose(Interaction& ui, NetFileApi& api, QWidget* parent)
    : QWidget(parent, Qt::Window), ui_(ui), api_(api), logic_(api) {
  setObjectName("fNetClose");
  setWindowTitle(QString::fromUtf8(kNetCloseCaption));
  resize(560, 380);

  lbFiles = new QListWidget(this);
  lbFiles->setObjectName("lbFiles");
  lbFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lbFiles->installEventFilter(this);

  Panel1 = new QWidget(this);
  Panel1->setObjectName("Panel1");
  Panel1->setFixedHeight(kPanelHeight);
  Label1 = new QLabel(QString::fromUtf8("Файл:"), Panel1);
  Label1->setObjectName("Label1");
  lFile = new QLabel(Panel1);
  lFile->setObjectName("lFile");
  Label3 = new QLabel(QString::fromUtf8("Открыт пользователями:"), Panel1);
  Label3->setObjectName("Label3");
  lUsers = new QLabel(Panel1);
  lUsers->setObjectName("lUsers");
  lSelected = new QLabel(Panel1);
  lSelected->setObjectName("lSelected");
  btnShowErrorList = new QToolButton(Panel1);
  btnShowErrorList->setObjectName("btnShowErrorList");
  btnShowErrorList->setToolTip(QString::fromUtf8("Показать список ошибок"));
  btnShowErrorList->setIcon(style()->standardIcon(QStyle::SP_MessageBoxWarning));
  btnShowErrorList->setAutoRaise(true);
  btnShowErrorList->hide();
  Label2 = new QLabel(QString::fromUtf8("Подключение и фильтр:"), Panel1);
  Label2->setObjectName("Label2");
  eServer = new QLineEdit(Panel1);
  eServer->setObjectName("eServer");
  eServer->setToolTip(QString::fromUtf8("\\\\ИмяСервера\\Диск:\\Путь"));
  bRefresh = new QPushButton(QString::fromUtf8("Обновить список"), Panel1);
  bRefresh->setObjectName("bRefresh");
  bDelete = new QPushButton(QString::fromUtf8("Закрыть файл"), Panel1);
  bDelete->setObjectName("bDelete");

  // The server edit stretches with the window and always ends before the
  // panel's right edge.
  auto* grid = new QGridLayout(Panel1);
  grid->setContentsMargins(8, 4, 10, 6);
  grid->setVerticalSpacing(2);
  grid->addWidget(Label1, 0, 0);
  grid->addWidget(lFile, 0, 1, 1, 3);
  grid->addWidget(Label3, 1, 0);
  grid->addWidget(lUsers, 1, 1, 1, 3);
  auto* selectedRow = new QHBoxLayout;
  selectedRow->addWidget(lSelected);
  selectedRow->addWidget(btnShowErrorList);
  selectedRow->addStretch(1);
  grid->addLayout(selectedRow, 2, 0, 1, 4);
  grid->addWidget(Label2, 3, 0);
  grid->addWidget(eServer, 3, 1);
  grid->addWidget(bRefresh, 3, 2);
  grid->addWidget(bDelete, 3, 3);
  grid->setColumnStretch(1, 1);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(lbFiles, 1);
  layout->addWidget(Panel1);

  AskCredentials = [this](std::string& user, std::string& password) {
    TfNetPassword dialog(this);
    dialog.eUser->setText(Q(user));
    if (!user.empty()) dialog.ePassword->setFocus();
    if (dialog.exec() != QDialog::Accepted) return false;
    user = dialog.eUser->text().toStdString();
    password = dialog.ePassword->text().toStdString();
    return true;
  };

  connect(bRefresh, &QPushButton::clicked, this, [this] { bRefreshClick(); });
  connect(bDelete, &QPushButton::clicked, this, [this] { bDeleteClick(); });
  connect(btnShowErrorList, &QToolButton::clicked, this, [this] { ShowErrorList(); });
  connect(lbFiles, &QListWidget::itemSelectionChanged, this, [this] { lbFilesClick(); });
  connect(lbFiles, &QListWidget::currentRowChanged, this, [this] { lbFilesClick(); });
  Sync();
}

TfNetClose::~TfNetClose() = default;

void TfNetClose::Sync() {
  syncing_ = true;
  setWindowTitle(Q(logic_.Caption));
  const auto& items = logic_.Items();
  bool same = lbFiles->count() == static_cast<int>(items.size());
  for (int i = 0; same && i < lbFiles->count(); ++i) same = lbFiles->item(i)->text() == Q(items[i]);
  if (!same) {
    lbFiles->clear();
    for (const auto& item : items) lbFiles->addItem(Q(item));
  }
  const auto& selected = logic_.Selected();
  for (int i = 0; i < lbFiles->count(); ++i) lbFiles->item(i)->setSelected(selected[i]);
  if (lbFiles->currentRow() != logic_.ItemIndex())
    lbFiles->setCurrentRow(logic_.ItemIndex(), QItemSelectionModel::NoUpdate);
  lFile->setText(Q(logic_.lFile));
  lUsers->setText(Q(logic_.lUsers));
  lSelected->setText(Q(logic_.lSelected));
  btnShowErrorList->setVisible(logic_.ErrorListButtonVisible);
  syncing_ = false;
}

void TfNetClose::TakeSelection() {
  logic_.SetItemIndex(lbFiles->currentRow());
  for (int i = 0; i < lbFiles->count(); ++i) logic_.SetSelected(i, lbFiles->item(i)->isSelected());
}

void TfNetClose::EnsureCredentials() {
  if (haveCredentials_) return;
  std::string password;
  if (!ReadNetFilesCredentials(user_, password)) {
    skipActivation_ = true;
    if (!AskCredentials(user_, password)) return;
  }
  api_.SetCredentials(user_, password);
  haveCredentials_ = true;
}

void TfNetClose::RunNet(const std::function<void()>& call) {
  if (busy_) return;
  busy_ = true;
  bRefresh->setEnabled(false);
  bDelete->setEnabled(false);
  EnsureCredentials();
  for (;;) {
    std::exception_ptr failure;
    QEventLoop loop;
    std::unique_ptr<QThread> worker(QThread::create([&] {
      try {
        call();
      } catch (...) {
        failure = std::current_exception();
      }
    }));
    connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker->wait();
    worker.reset();
    if (!failure) break;
    try {
      std::rethrow_exception(failure);
    } catch (const ENetFiles& e) {
      std::string password;
      skipActivation_ = true;
      if (e.Refused() && AskCredentials(user_, password)) {
        api_.SetCredentials(user_, password);
        haveCredentials_ = true;
        continue;
      }
      ui_.ShowError(e.what());
    } catch (const std::exception& e) {
      skipActivation_ = true;
      ui_.ShowError(e.what());
    }
    break;
  }
  Sync();
  bRefresh->setEnabled(true);
  bDelete->setEnabled(true);
  busy_ = false;
}

void TfNetClose::FormActivate() {
  RunNet([this] { logic_.FormActivate(); });
}

void TfNetClose::bRefreshClick() {
  const std::string text = eServer->text().toStdString();
  RunNet([this, text] { logic_.bRefreshClick(text); });
}

void TfNetClose::bDeleteClick() {
  TakeSelection();
  RunNet([this] { logic_.bDeleteClick(); });
}

void TfNetClose::lbFilesClick() {
  if (syncing_) return;
  TakeSelection();
  logic_.lbFilesClick();
  Sync();
}

void TfNetClose::ShowErrorList() {
  logic_.ShowErrorList();
  Sync();
}

bool TfNetClose::event(QEvent* e) {
  const bool result = QWidget::event(e);
  if (e->type() == QEvent::WindowActivate && !busy_) {
    if (skipActivation_)
      skipActivation_ = false;
    else
      FormActivate();
  }
  return result;
}

bool TfNetClose::eventFilter(QObject* watched, QEvent* e) {
  if (watched == lbFiles && e->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(e);
    if (key->key() == Qt::Key_A && (key->modifiers() & Qt::ControlModifier)) {
      // Ctrl+A alone selects everything; with Shift or Alt it does nothing.
      const Qt::KeyboardModifiers m = key->modifiers();
      TakeSelection();
      logic_.lbFilesKeyDown('A', true, (m & Qt::ShiftModifier) != 0, (m & Qt::AltModifier) != 0);
      Sync();
      return true;
    }
  }
  return QWidget::eventFilter(watched, e);
}

}  // namespace ztv
