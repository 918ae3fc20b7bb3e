#include "app/services.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QThread>

QString qtFileDialogFilter(const QString& barFilter) {
    const QStringList parts = barFilter.split(QLatin1Char('|'));
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString desc = parts[i];
        const QString patterns = QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' '));
        // Qt reads the patterns from the parentheses; add them when the description lacks them.
        if (!desc.contains(QLatin1Char('(')))
            desc += QStringLiteral(" (") + patterns + QLatin1Char(')');
        entries << desc;
    }
    if (entries.isEmpty() && !barFilter.isEmpty())
        entries << barFilter;
    return entries.join(QStringLiteral(";;"));
}

ProgramLine arpFlushCommand() {
#ifdef Q_OS_WIN
    return {QStringLiteral("arp"), {QStringLiteral("-d"), QStringLiteral("*")}};
#elif defined(Q_OS_LINUX)
    return {QStringLiteral("ip"), {QStringLiteral("neigh"), QStringLiteral("flush"), QStringLiteral("all")}};
#else
    return {QStringLiteral("arp"), {QStringLiteral("-a"), QStringLiteral("-d")}};
#endif
}

PlatformServices PlatformServices::real() {
    PlatformServices s;
    s.openFile = [](QWidget* parent, const QString& filter) -> std::optional<QString> {
        // Any typed name is taken, also of a file that does not exist: opening it is the
        // loader's business, and its error box says what is wrong. The label stays "Open". Qt's
        // own dialog, since a desktop's native one refuses such names for an open dialog.
        QFileDialog dialog(parent, QString(), QString(), qtFileDialogFilter(filter));
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::AnyFile);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().constFirst();
    };
    s.messageBox = [](QWidget* parent, const QString& text, const QString& title, MessageIcon icon) {
        QMessageBox box(icon == MessageIcon::Critical ? QMessageBox::Critical : QMessageBox::NoIcon,
                        title.isEmpty() ? QCoreApplication::applicationName() : title, text, QMessageBox::Ok,
                        parent);
        box.exec();
    };
    s.launchDetached = [](const QString& program, const QStringList& arguments) {
        QProcess p;
        p.setProgram(program);
        p.setArguments(arguments);
        p.setStandardInputFile(QProcess::nullDevice());
        p.setStandardOutputFile(QProcess::nullDevice());
        p.setStandardErrorFile(QProcess::nullDevice());
#ifdef Q_OS_WIN
        // Minimized, as the flush is of no interest to the operator.
        p.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* args) {
            args->startupInfo->dwFlags |= 0x00000001; // STARTF_USESHOWWINDOW
            args->startupInfo->wShowWindow = 2;       // SW_SHOWMINIMIZED
        });
#endif
        // A missing program simply fails to start; the caller goes on either way.
        (void)p.startDetached();
    };
    s.sleep = [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); };
    s.lookUpHost = HostLookup::system();
    return s;
}
