#include "station_services.h"

#include "app/services.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

StationServices StationServices::real() {
    StationServices s;
    s.chooseFile = [](QWidget* parent, const FileQuestion& q) -> std::optional<QString> {
        // Qt's own dialog, as the bootloader window's: the same look and keys on every desktop.
        QFileDialog dialog(parent, q.title, q.folder, qtFileDialogFilter(q.filter));
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setAcceptMode(q.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        dialog.setFileMode(q.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
        // An output is appended to: the dialog must not ask whether to replace it.
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().constFirst();
    };
    s.confirm = [](QWidget* parent, const QString& title, const QString& question, const QString& yes,
                   const QString& no) {
        QMessageBox box(QMessageBox::Question, title, question, QMessageBox::NoButton, parent);
        QPushButton* accept = box.addButton(yes, QMessageBox::AcceptRole);
        box.setEscapeButton(box.addButton(no, QMessageBox::RejectRole));
        box.setDefaultButton(accept);
        box.exec();
        return box.clickedButton() == accept;
    };
    s.lookUpHost = HostLookup::system();
    return s;
}
