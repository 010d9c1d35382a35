#include "browser_window.h"

#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include <tarsel/listing.h>

using tarselctl::FromUtf8;
using tarselctl::String;

namespace {

constexpr qint64 kBlock = 64 * 1024;

String ToControl(const QString& text) { return FromUtf8(text.toStdString()); }
QString FromControl(const String& text) { return QString::fromStdU16String(text); }

QString KindName(tarselctl::ListingEntryType type) {
    switch (type) {
        case tarselctl::ListingEntryType::File: return "file";
        case tarselctl::ListingEntryType::Directory: return "directory";
        case tarselctl::ListingEntryType::Link: return "link";
        case tarselctl::ListingEntryType::Device: return "device";
        default: return "";
    }
}

}  // namespace

BrowserWindow::BrowserWindow() {
    setWindowTitle("tarsel FTP browser");
    cookie_ = control_.Advise(*this);
    control_.InitProperties();

    host_ = new QLineEdit("127.0.0.1");
    port_ = new QLineEdit("21");
    user_ = new QLineEdit("anonymous");
    password_ = new QLineEdit;
    password_->setEchoMode(QLineEdit::Password);
    directory_ = new QLineEdit;
    connect_ = new QPushButton("Connect");
    list_ = new QPushButton("List");
    download_ = new QPushButton("Download…");
    upload_ = new QPushButton("Upload…");
    cancel_ = new QPushButton("Cancel");
    table_ = new QTableWidget(0, 4);
    table_->setHorizontalHeaderLabels({"Name", "Size", "Modified", "Kind"});
    table_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int column = 1; column < 4; ++column)
        table_->horizontalHeader()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    table_->setWordWrap(false);
    table_->verticalHeader()->hide();
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    progress_ = new QProgressBar;
    progress_->setRange(0, 100);
    progress_->setValue(0);
    status_ = new QLabel("Not connected");

    auto* form = new QFormLayout;
    form->addRow("Host", host_);
    form->addRow("Port", port_);
    form->addRow("User", user_);
    form->addRow("Password", password_);
    auto* where = new QHBoxLayout;
    where->addWidget(directory_, 1);
    where->addWidget(list_);
    form->addRow("Directory", where);
    auto* actions = new QHBoxLayout;
    actions->addWidget(connect_);
    actions->addWidget(download_);
    actions->addWidget(upload_);
    actions->addWidget(cancel_);
    actions->addWidget(progress_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(table_, 1);
    layout->addLayout(actions);
    layout->addWidget(status_);
    resize(640, 480);

    QObject::connect(connect_, &QPushButton::clicked, this, &BrowserWindow::OnConnectClicked);
    QObject::connect(list_, &QPushButton::clicked, this, &BrowserWindow::OnListClicked);
    QObject::connect(download_, &QPushButton::clicked, this, &BrowserWindow::OnDownloadClicked);
    QObject::connect(upload_, &QPushButton::clicked, this, &BrowserWindow::OnUploadClicked);
    QObject::connect(cancel_, &QPushButton::clicked, this, &BrowserWindow::OnCancelClicked);
    SetBusy(false);
}

BrowserWindow::~BrowserWindow() {
    control_.Abend();
    control_.Unadvise(cookie_);
}

void BrowserWindow::SetLogin(const QString& host, const QString& port, const QString& user,
                             const QString& password, const QString& directory) {
    host_->setText(host);
    port_->setText(port);
    user_->setText(user);
    password_->setText(password);
    directory_->setText(directory);
}

QRect BrowserWindow::TableArea() const {
    QWidget* view = table_->viewport();
    return QRect(view->mapTo(this, QPoint(0, 0)), view->size());
}

QString BrowserWindow::RemotePath(const QString& name) const {
    QString dir = directory_->text();
    if (!dir.isEmpty() && !dir.endsWith('/')) dir += '/';
    return dir + name;
}

void BrowserWindow::SetBusy(bool busy) {
    const bool connected = !control_.get_FtpCommand().empty();
    connect_->setText(connected ? "Disconnect" : "Connect");
    connect_->setEnabled(!busy);
    for (QPushButton* b : {list_, download_, upload_}) b->setEnabled(connected && !busy);
    cancel_->setEnabled(busy);
}

void BrowserWindow::Status(const QString& text) { status_->setText(text); }

void BrowserWindow::ConnectAndList() { OnConnectClicked(); }

void BrowserWindow::OnConnectClicked() {
    try {
        if (!control_.get_FtpCommand().empty()) {
            control_.DisConnect();
            return;
        }
        control_.put_port(ToControl(port_->text()));
        control_.put_ConnectTimeout(10);
        listAfterConnect_ = true;
        control_.Connect(ToControl(host_->text()), ToControl(user_->text()), ToControl(password_->text()));
        Status("Connecting to " + host_->text() + "…");
        SetBusy(true);
    } catch (const tarselctl::AutomationError& e) {
        Status("Refused: " + FromControl(e.Description()));
    }
}

void BrowserWindow::OnListClicked() {
    try {
        control_.Dir(ToControl(directory_->text()));
        SetBusy(true);
    } catch (const tarselctl::AutomationError& e) {
        Status("Refused: " + FromControl(e.Description()));
    }
}

bool BrowserWindow::SelectRow(const QString& name) {
    for (int row = 0; row < table_->rowCount(); ++row) {
        if (table_->item(row, 0)->text() == name) {
            table_->selectRow(row);
            return true;
        }
    }
    return false;
}

void BrowserWindow::Download(const QString& name, const QString& local) {
    total_ = 0;
    for (int row = 0; row < table_->rowCount(); ++row)
        if (table_->item(row, 0)->text() == name) total_ = table_->item(row, 1)->data(Qt::UserRole).toLongLong();
    done_ = 0;
    transferFailed_ = false;
    try {
        control_.GetFile(ToControl(RemotePath(name)), ToControl(local));
        Status("Downloading " + name + "…");
        SetBusy(true);
    } catch (const tarselctl::AutomationError& e) {
        Status("Refused: " + FromControl(e.Description()));
    }
}

void BrowserWindow::OnDownloadClicked() {
    const int row = table_->currentRow();
    if (row < 0) {
        Status("Select a file first");
        return;
    }
    const QString name = table_->item(row, 0)->text();
    const QString local = QFileDialog::getSaveFileName(this, "Download to", name);
    if (!local.isEmpty()) Download(name, local);
}

void BrowserWindow::OnUploadClicked() {
    const QString local = QFileDialog::getOpenFileName(this, "Upload");
    if (local.isEmpty()) return;
    total_ = QFileInfo(local).size();
    done_ = 0;
    transferFailed_ = false;
    try {
        control_.PutFile(ToControl(RemotePath(QFileInfo(local).fileName())), ToControl(local));
        Status("Uploading " + QFileInfo(local).fileName() + "…");
        SetBusy(true);
    } catch (const tarselctl::AutomationError& e) {
        Status("Refused: " + FromControl(e.Description()));
    }
}

void BrowserWindow::OnCancelClicked() {
    control_.Abort();
    Status("Cancelled");
}

void BrowserWindow::DisConnected(tarselctl::Long code, const String& msg) {
    Status(code == 0 ? "Disconnected" : "Connection ended: " + FromControl(msg));
    SetBusy(false);
    if (onDone) onDone("Lost", code == 0);
}

void BrowserWindow::CommandDone(tarselctl::Integer code, const String& op, const String& msg) {
    const QString name = FromControl(op);
    const bool ok = code == 0 && !((name == "GetFile" || name == "PutFile") && transferFailed_);
    if (name == "Connect" && ok && listAfterConnect_) {
        listAfterConnect_ = false;
        Status("Connected");
        OnListClicked();
        if (onDone) onDone(name, ok);
        return;
    }
    if (name == "GetFile" || name == "PutFile") {
        if (ok) progress_->setValue(100);
        Status(ok ? name + " done" : name + " failed: " + FromControl(msg));
    } else if (!ok) {
        Status(name + " failed: " + FromControl(msg));
    }
    SetBusy(false);
    if (onDone) onDone(name, ok);
}

void BrowserWindow::GetOpen(const String& file) {
    file_ = std::make_unique<QFile>(FromControl(file));
    if (!file_->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        transferFailed_ = true;
        Status("Cannot write " + file_->fileName());
        control_.Abort();
    }
    progress_->setValue(0);
}

void BrowserWindow::GetData(tarselctl::ByteArray& data) {
    if (file_ && file_->isOpen() &&
        file_->write(reinterpret_cast<const char*>(data.data()), qint64(data.size())) != qint64(data.size()))
        transferFailed_ = true;
    done_ += qint64(data.size());
    if (total_ > 0) progress_->setValue(int(std::min<std::int64_t>(100, done_ * 100 / total_)));
}

void BrowserWindow::GetClose() {
    if (file_ && file_->isOpen()) {
        file_->close();
        if (file_->error() != QFileDevice::NoError) transferFailed_ = true;
    }
    file_.reset();
}

void BrowserWindow::PutOpen(const String& file) {
    file_ = std::make_unique<QFile>(FromControl(file));
    if (!file_->open(QIODevice::ReadOnly)) {
        transferFailed_ = true;
        control_.Abort();
    }
    progress_->setValue(0);
}

void BrowserWindow::PutData(tarselctl::ByteArray& data) {
    data.resize(std::size_t(kBlock));
    const qint64 got = file_ && file_->isOpen() ? file_->read(reinterpret_cast<char*>(data.data()), kBlock) : 0;
    data.resize(std::size_t(std::max<qint64>(got, 0)));
    if (got < 0) transferFailed_ = true;
    // A short block is the last; EndUpload sends it whatever it holds (a lone 0 byte too).
    if (got > 0 && got < kBlock) control_.EndUpload();
    done_ += std::max<qint64>(got, 0);
    if (total_ > 0) progress_->setValue(int(std::min<std::int64_t>(100, done_ * 100 / total_)));
}

void BrowserWindow::PutClose() { file_.reset(); }

void BrowserWindow::DirOpen() { table_->setRowCount(0); }

void BrowserWindow::DirData(String& line) {
    // The present time places "Mon DD HH:MM" lines (no year) in the right year.
    tarselctl::ListingParseOptions options;
    options.now = QDateTime::currentSecsSinceEpoch();
    const auto entry = tarselctl::ParseListingLine(std::u16string_view(line), options);
    if (!entry) return;
    const int row = table_->rowCount();
    table_->insertRow(row);
    table_->setItem(row, 0, new QTableWidgetItem(FromControl(entry->name)));
    auto* size = new QTableWidgetItem(entry->size ? QString::number(qulonglong(*entry->size)) : "");
    size->setData(Qt::UserRole, qlonglong(entry->size.value_or(0)));
    size->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    table_->setItem(row, 1, size);
    const QString when = entry->modified
        ? QDateTime::fromSecsSinceEpoch(*entry->modified, Qt::UTC).toString("yyyy-MM-dd hh:mm")
        : QString();
    table_->setItem(row, 2, new QTableWidgetItem(when));
    table_->setItem(row, 3, new QTableWidgetItem(KindName(entry->type)));
}

void BrowserWindow::DirClose() { Status(QString::number(table_->rowCount()) + " entries"); }

void BrowserWindow::TransError(tarselctl::Long code, const String& description, const String& where) {
    transferFailed_ = true;
    Status("Transfer error " + QString::number(code) + ": " + FromControl(description) + " (" +
           FromControl(where) + ")");
}
