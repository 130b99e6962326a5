#include "ui/dialogs.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QUrl>

namespace veltrin {

namespace {

std::function<QString(const FileDialogRequest&)>& FileHook() {
    static std::function<QString(const FileDialogRequest&)> hook;
    return hook;
}

std::function<void(const MessageRecord&)>& MessageHook() {
    static std::function<void(const MessageRecord&)> hook;
    return hook;
}

std::function<bool(const MessageRecord&)>& QuestionHook() {
    static std::function<bool(const MessageRecord&)> hook;
    return hook;
}

std::function<bool(const QUrl&)>& UrlHook() {
    static std::function<bool(const QUrl&)> hook;
    return hook;
}

void ShowBox(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace

QString QtFileFilter(const QString& pairs) {
    if (!pairs.contains(QLatin1Char('|'))) return pairs;
    const QStringList parts = pairs.split(QLatin1Char('|'));
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        entries << QStringLiteral("%1 (%2)").arg(parts[i], patterns);
    }
    return entries.join(QStringLiteral(";;"));
}

QString GetOpenFileNameSeam(QWidget* parent, const QString& caption, const QString& dir,
                            const QString& filter) {
    if (FileHook()) return FileHook()(FileDialogRequest{false, caption, dir, filter});
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

QString GetSaveFileNameSeam(QWidget* parent, const QString& caption, const QString& dir,
                            const QString& filter) {
    if (FileHook()) return FileHook()(FileDialogRequest{true, caption, dir, filter});
    // The caller decides what an existing name means, so Qt must not ask about overwriting.
    return QFileDialog::getSaveFileName(parent, caption, dir, filter, nullptr,
                                        QFileDialog::DontConfirmOverwrite);
}

void ShowNotice(QWidget* parent, const QString& text, const QString& title) {
    if (MessageHook()) {
        MessageHook()(MessageRecord{title, text, false});
        return;
    }
    ShowBox(parent, title, text);
}

void ShowPlainMessage(QWidget* parent, const QString& text) {
    QString title = QGuiApplication::applicationDisplayName();
    if (title.isEmpty()) title = QCoreApplication::applicationName();
    if (MessageHook()) {
        MessageHook()(MessageRecord{title, text, true});
        return;
    }
    ShowBox(parent, title, text);
}

bool AskYesNo(QWidget* parent, const QString& text, const QString& title) {
    if (QuestionHook()) return QuestionHook()(MessageRecord{title, text, false});
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

QString ChooseSaveFile(QWidget* parent, const QString& caption, const QString& dir, const QString& filter,
                       const QString& extension) {
    QString start = dir;
    for (;;) {
        QString chosen = GetSaveFileNameSeam(parent, caption, start, QtFileFilter(filter));
        if (chosen.isEmpty()) return chosen;
        if (!chosen.endsWith(extension, Qt::CaseInsensitive)) chosen += extension;
        const QFileInfo info(chosen);
        if (!info.exists() || info.isDir()) return chosen;
        if (AskYesNo(parent, QStringLiteral("%1 already exists.\nDo you want to replace it?")
                                 .arg(QDir::toNativeSeparators(chosen))))
            return chosen;
        start = chosen;
    }
}

bool OpenUrlSeam(const QUrl& url) {
    if (UrlHook()) return UrlHook()(url);
    return QDesktopServices::openUrl(url);
}

void SetOpenUrlHook(std::function<bool(const QUrl&)> hook) {
    UrlHook() = std::move(hook);
}

void SetFileDialogHook(std::function<QString(const FileDialogRequest&)> hook) {
    FileHook() = std::move(hook);
}

void SetMessageHook(std::function<void(const MessageRecord&)> hook) {
    MessageHook() = std::move(hook);
}

void SetQuestionHook(std::function<bool(const MessageRecord&)> hook) {
    QuestionHook() = std::move(hook);
}

DialogRecorder::DialogRecorder() {
    SetFileDialogHook([this](const FileDialogRequest& request) {
        requests.push_back(request);
        return answers_.isEmpty() ? QString() : answers_.takeFirst();
    });
    SetMessageHook([this](const MessageRecord& message) {
        messages.push_back(message);
        if (action_) action_(message);
    });
    SetOpenUrlHook([this](const QUrl& url) {
        openedurls << url.toString();
        return true;
    });
    SetQuestionHook([this](const MessageRecord& question) {
        questions.push_back(question);
        if (questionanswers_.empty()) return false;
        const bool yes = questionanswers_.front();
        questionanswers_.erase(questionanswers_.begin());
        return yes;
    });
}

DialogRecorder::~DialogRecorder() {
    SetFileDialogHook({});
    SetMessageHook({});
    SetOpenUrlHook({});
    SetQuestionHook({});
}

void DialogRecorder::QueueQuestionAnswer(bool yes) {
    questionanswers_.push_back(yes);
}

void DialogRecorder::QueueFileAnswer(const QString& path) {
    answers_ << path;
}

void DialogRecorder::OnMessage(std::function<void(const MessageRecord&)> action) {
    action_ = std::move(action);
}

QStringList DialogRecorder::Texts() const {
    QStringList texts;
    for (const MessageRecord& m : messages) texts << m.text;
    return texts;
}

}  // namespace veltrin
