// The applet's dialogs in Qt (see dialogs.h).
#include "qm/panel/dialogs.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMetaObject>
#include <QVBoxLayout>

#include "qm/svcctl/svcctl.h"

namespace qm::panel {

using desktop::Operation;
using desktop::Q;

MainDialog::MainDialog(desktop::ServerOps& ops, desktop::Messages& messages,
                       desktop::Launcher& launcher, desktop::BootService& boot, QWidget* parent)
    : QDialog(parent),
      ops_(ops),
      messages_(messages),
      launcher_(launcher),
      boot_(boot),
      logic_(ops, messages) {
    setObjectName("PPANEL");
    setWindowTitle(kMainTitle);
    setWindowIcon(desktop::NamedIcon("PPANEL"));

    auto* top = new QVBoxLayout(this);
    auto* head = new QHBoxLayout;
    software_ = new QLabel(kInitialSoftware);
    head->addWidget(software_, 1);
    auto* ok = new QPushButton("OK");
    ok->setDefault(true);
    head->addWidget(ok);
    top->addLayout(head);
    detail_ = new QPushButton("Detail Setting >>");
    auto* detailRow = new QHBoxLayout;
    detailRow->addStretch(1);
    detailRow->addWidget(detail_);
    top->addLayout(detailRow);

    auto* group = new QGroupBox("Current Status");
    auto* g = new QVBoxLayout(group);
    auto* stateRow = new QHBoxLayout;
    icon_ = new QLabel;
    icon_->setFixedSize(32, 32);
    stateText_ = new QLabel;
    stateRow->addWidget(icon_);
    stateRow->addWidget(stateText_, 1);
    g->addLayout(stateRow);
    auto* buttons = new QHBoxLayout;
    const char* labels[] = {"Start(&S)", "Stop(&S)", "Pause(&P)", "Continue(&C)"};
    for (int i = 0; i < 4; ++i) {
        buttons_[i] = new QPushButton(labels[i]);
        buttons_[i]->setEnabled(false);
        buttons->addWidget(buttons_[i]);
        connect(buttons_[i], &QPushButton::clicked, this,
                [this, i] { logic_.Command(static_cast<Operation>(i)); });
    }
    g->addLayout(buttons);
    top->addWidget(group);
    top->addWidget(new QLabel("This dialog show the current server status.\n"
                              "To modify the server setting, please go to \"Detail Setting\"."));

    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(detail_, &QPushButton::clicked, this, &MainDialog::OpenDetail);
}

MainDialog::~MainDialog() { StopRefresh(); }

QPushButton* MainDialog::button(Operation op) const { return buttons_[static_cast<int>(op)]; }

void MainDialog::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (loop_.running()) return;
    // The refresh thread asks the server and the registry; the dialog's thread only shows
    // what it found.
    int rc = loop_.Start(desktop::kPanelOwner, [this] {
        // "More Setting >>" is for a running server only.
        bool more = logic_.Refresh(&threadView_) == desktop::kStateRunning;
        MainView view = threadView_;
        QMetaObject::invokeMethod(
            this,
            [this, view, more] {
                Show(view);
                if (detailDialog_) detailDialog_->SetMoreSettingEnabled(more);
            },
            Qt::QueuedConnection);
    });
    if (rc != 0) messages_.Warn(kCaption, Text(14));
}

void MainDialog::Show(const MainView& view) {
    if (view.textId == 0) return;  // no state known yet
    buttons_[0]->setEnabled(view.startEnabled);
    buttons_[1]->setEnabled(view.stopEnabled);
    buttons_[2]->setEnabled(view.pauseEnabled);
    buttons_[3]->setEnabled(view.continueEnabled);
    stateText_->setText(Text(view.textId));
    software_->setText(Q(view.software));
    iconName_ = view.icon;
    icon_->setPixmap(desktop::NamedIcon(view.icon).pixmap(32, 32));
}

void MainDialog::StopRefresh() { loop_.Stop(); }

void MainDialog::done(int r) {
    StopRefresh();
    QDialog::done(r);
}

void MainDialog::OpenDetail() {
    DetailDialog dialog(ops_, messages_, launcher_, boot_, this);
    detailDialog_ = &dialog;
    dialog.SetMoreSettingEnabled(ops_.State() == desktop::kStateRunning);
    dialog.exec();
    detailDialog_ = nullptr;
}

DetailDialog::DetailDialog(desktop::ServerOps& ops, desktop::Messages& messages,
                           desktop::Launcher& launcher, desktop::BootService& boot,
                           QWidget* parent)
    : QDialog(parent), logic_(ops, messages, launcher, boot) {
    setObjectName("DETAIL");
    setWindowTitle(kDetailTitle);
    auto* top = new QVBoxLayout(this);
    auto* group = new QGroupBox("Server Setting");
    auto* form = new QFormLayout(group);
    port_ = new QLineEdit;
    threads_ = new QLineEdit;
    timeout_ = new QLineEdit;
    form->addRow("Port Number", port_);
    form->addRow("Thread Number", threads_);
    form->addRow("Timeout", timeout_);
    top->addWidget(group);
    startup_ = new QCheckBox("Start Server at the system start up");
    tasktray_ = new QCheckBox("Show the status icon on the tasktray");
    top->addWidget(startup_);
    top->addWidget(tasktray_);
    more_ = new QPushButton("More Setting >>");
    auto* row = new QHBoxLayout;
    row->addWidget(more_);
    row->addStretch(1);
    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    row->addWidget(box);
    top->addLayout(row);
    connect(box, &QDialogButtonBox::accepted, this, &DetailDialog::accept);
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(more_, &QPushButton::clicked, this, [this] { logic_.MoreSetting(); });

    DetailValues v = logic_.Load();
    port_->setText(Q(v.port));
    threads_->setText(Q(v.threads));
    timeout_->setText(Q(v.timeout));
    startup_->setChecked(v.startup);
    tasktray_->setChecked(v.tasktray);
    tasktray_->setEnabled(logic_.trayBoxEnabled());
}

DetailValues DetailDialog::Edited() const {
    DetailValues v;
    v.port = port_->text().toStdString();
    v.threads = threads_->text().toStdString();
    v.timeout = timeout_->text().toStdString();
    v.startup = startup_->isChecked();
    v.tasktray = tasktray_->isChecked();
    return v;
}

void DetailDialog::accept() {
    if (logic_.Ok(Edited())) QDialog::accept();
}

int OpenApplet() {
    char logPath[1024];
    if (ServiceLogPath(logPath, sizeof logPath) != 0) return -1;
    bool own = desktop::EnsureApplication();
    {
        desktop::ServerOps ops;
        desktop::QtMessages messages;
        desktop::Launcher launcher;
        desktop::BootService boot;
        MainDialog dialog(ops, messages, launcher, boot);
        dialog.exec();
    }
    if (own) desktop::DropOwnApplication();
    return 0;
}

}  // namespace qm::panel
