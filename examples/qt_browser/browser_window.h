// The browser's window: a connect form, the remote directory in a table (from the parsed
// listing), download and upload with a progress bar, and cancel. Every FTP step is the
// control's, driven by the window's Qt event loop through QtPlatform.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>

#include <tarsel/loops/qt_loop.h>
#include <tarsel/tarsel.h>

class QFile;

class BrowserWindow : public QWidget, private tarselctl::tarselEvents {
    Q_OBJECT
public:
    BrowserWindow();
    ~BrowserWindow() override;

    /// Fills the connect form (the scripted path does what a user would type).
    void SetLogin(const QString& host, const QString& port, const QString& user, const QString& password,
                  const QString& directory);
    /// Connects with the form's values and lists its directory.
    void ConnectAndList();
    /// Downloads the remote file `name` of the listed directory to `local`.
    void Download(const QString& name, const QString& local);
    /// Selects the row of `name`; false when the listing has none.
    bool SelectRow(const QString& name);

    /// Rows of the listing shown now.
    int RowCount() const { return table_->rowCount(); }
    /// The table's visible rows, in the window's own coordinates.
    QRect TableArea() const;

    /// Called after each operation ends: its name ("Connect", "Dir", "GetFile", "PutFile",
    /// "Lost" when the connection ended), and whether it succeeded.
    std::function<void(const QString& op, bool ok)> onDone;

private:
    void OnConnectClicked();
    void OnListClicked();
    void OnDownloadClicked();
    void OnUploadClicked();
    void OnCancelClicked();
    void SetBusy(bool busy);
    void Status(const QString& text);
    QString RemotePath(const QString& name) const;

    // The control's events.
    void DisConnected(tarselctl::Long code, const tarselctl::String& msg) override;
    void CommandDone(tarselctl::Integer code, const tarselctl::String& op, const tarselctl::String& msg) override;
    void GetOpen(const tarselctl::String& file) override;
    void GetData(tarselctl::ByteArray& data) override;
    void GetClose() override;
    void PutOpen(const tarselctl::String& file) override;
    void PutData(tarselctl::ByteArray& data) override;
    void PutClose() override;
    void DirOpen() override;
    void DirData(tarselctl::String& line) override;
    void DirClose() override;
    void TransError(tarselctl::Long code, const tarselctl::String& description,
                    const tarselctl::String& where) override;

    tarselctl::QtPlatform platform_;
    tarselctl::tarsel control_{platform_};
    tarselctl::Long cookie_ = 0;

    QLineEdit *host_, *port_, *user_, *password_, *directory_;
    QPushButton *connect_, *list_, *download_, *upload_, *cancel_;
    QTableWidget* table_;
    QProgressBar* progress_;
    QLabel* status_;

    std::unique_ptr<QFile> file_;
    std::int64_t done_ = 0, total_ = 0;
    bool transferFailed_ = false;
    bool listAfterConnect_ = false;
};
