// The firmware transfer: loading the HEX file, the transfer step and the reply dispatcher.
#include "up_config.h"

#include "hex_loader.h"

#include <QPushButton>

void UP_config::Command3_Click() {
    Transfer.VerifyPhase = 0;
    const auto path = m_services.openFile(this, HexFilter);
    if (!path || path->isEmpty()) {
        m_services.messageBox(this, QStringLiteral("Cancel"), QString(), MessageIcon::None);
        return;
    }
    Transfer.LinePos = 0;
    vbalProgressBar1->setText(QStringLiteral("NO FILE"));

    // The file is read and closed before anything is stored, so a failure part way leaves the
    // store as the last completed load wrote it. Reading stops at the first entry that decides.
    const auto lines = readHexFile(*path, TransferState::MaxLines);
    if (const auto* error = std::get_if<RuntimeError>(&lines)) {
        // The earlier transfer may have been interrupted part way: stop it for good.
        Transfer.TransferArmed = 0;
        Transfer.LinePos = 0;
        showError(*error);
        return;
    }
    const QByteArrayList& loaded = std::get<QByteArrayList>(lines);
    for (qsizetype i = 0; i < loaded.size(); ++i)
        Transfer.LineStore[size_t(i + 1)] = loaded[i];
    const auto count = qint16(loaded.size());
    Transfer.LineCount = count;
    vbalProgressBar1->setMax(count);
    Text8 = QString::number(count);
    vbalProgressBar1->setText(QStringLiteral("READY"));
    Transfer.LinePos = 0;
    // A file without lines has nothing to send: the transfer stays disarmed.
    Transfer.TransferArmed = count > 0 ? 1 : 0;
    Command4_Click();
}

void UP_config::Command4_Click() {
    const auto step = transferStep(Transfer);
    if (!step)
        return;
    if (step->downloadPass)
        vbalProgressBar1->setText(QStringLiteral("DOWNLOAD"));
    UDP_Send(step->commandLine);
    Text4 = step->sentForm;
    vbalProgressBar1->setValue(step->barValue);
}

void UP_config::dispatchReply() {
    const ReplyEffects e = applyReply(Text8, Transfer);
    if (e.barText)
        vbalProgressBar1->setText(*e.barText);
    if (e.barColor)
        vbalProgressBar1->setBarColor(*e.barColor);
    if (e.transferEnded) {
        Command3->setEnabled(true);
        tbReceiveData.clear();
    }
    if (e.step)
        Command4_Click();
}
