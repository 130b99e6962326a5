// File dialogs and message boxes of every window go through these functions, so a test can answer
// the dialogs and read the messages instead of a user.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

class QUrl;
class QWidget;

namespace veltrin {

// Converts a "Description|*.ext" filter (pairs joined with "|") to Qt's "Description (*.ext)"
// form, entries separated by ";;". A text without "|" is returned unchanged.
QString QtFileFilter(const QString& pairs);

// The chosen file, or an empty text when the user cancelled. `filter` is in Qt's form.
QString GetOpenFileNameSeam(QWidget* parent, const QString& caption, const QString& dir,
                            const QString& filter);
QString GetSaveFileNameSeam(QWidget* parent, const QString& caption, const QString& dir,
                            const QString& filter);

// A modal message box with only an OK button, parented to `parent`.
void ShowNotice(QWidget* parent, const QString& text, const QString& title = QStringLiteral("Notice"));
// A modal message box titled with the application's name (QCoreApplication::applicationName or
// the application display name), only OK.
void ShowPlainMessage(QWidget* parent, const QString& text);

// A modal question with Yes and No, No the default button (Enter and Esc answer No unless the
// user moved to Yes). True for Yes.
bool AskYesNo(QWidget* parent, const QString& text, const QString& title = QStringLiteral("Notice"));

// A save dialog as desktop programs have it: `extension` (".spl") is added to a chosen name that
// lacks it, and an existing file of the resulting name is only replaced after the user said Yes;
// No brings the dialog back at that name. Returns the name to write, or an empty text when the
// user cancelled. `filter` is in "Description|*.ext" form.
QString ChooseSaveFile(QWidget* parent, const QString& caption, const QString& dir, const QString& filter,
                       const QString& extension);

// Opens a document or web address with the desktop's default action (QDesktopServices).
bool OpenUrlSeam(const QUrl& url);

// ---- test hooks ------------------------------------------------------------------------------

struct FileDialogRequest {
    bool save = false;
    QString caption, dir, filter;
};
struct MessageRecord {
    QString title, text;
    bool plain = false;  // ShowPlainMessage rather than ShowNotice
};

// A null hook restores the real dialog.
void SetFileDialogHook(std::function<QString(const FileDialogRequest&)> hook);
void SetMessageHook(std::function<void(const MessageRecord&)> hook);
void SetOpenUrlHook(std::function<bool(const QUrl&)> hook);
void SetQuestionHook(std::function<bool(const MessageRecord&)> hook);

// Installs the hooks for its lifetime: file dialogs take the queued answers in order (an empty
// answer, or none left, means cancel), messages and opened addresses are recorded (nothing is
// really opened). Restores the real dialogs when it goes away. GUI thread only.
class DialogRecorder {
  public:
    DialogRecorder();
    ~DialogRecorder();
    DialogRecorder(const DialogRecorder&) = delete;
    DialogRecorder& operator=(const DialogRecorder&) = delete;

    void QueueFileAnswer(const QString& path);
    // Answers for AskYesNo in order; with none left a question is answered No (its default).
    void QueueQuestionAnswer(bool yes);
    // Called when a message is shown, after it was recorded (for example to close a dialog).
    void OnMessage(std::function<void(const MessageRecord&)> action);

    std::vector<FileDialogRequest> requests;
    std::vector<MessageRecord> messages;
    std::vector<MessageRecord> questions;
    QStringList openedurls;
    QStringList Texts() const;

  private:
    QStringList answers_;
    std::vector<bool> questionanswers_;
    std::function<void(const MessageRecord&)> action_;
};

}  // namespace veltrin
