// The firmware transfer: loading the HEX file, the transfer step and the reply dispatcher.
#include "up_config.h"

#include "hex_loader.h"

#include <QPushButton>

void UP_config::openAndDownload() {
    transfer.verifyPhase = false;
    const auto path = m_services.openFile(this, HexFilter);
    if (!path || path->isEmpty()) {
        m_services.messageBox(this, QStringLiteral("Cancel"), QString(), MessageIcon::None);
        return;
    }
    transfer.linePos = 0;
    progressBar->setText(QStringLiteral("NO FILE"));

    // The file is read and closed before anything is stored, so a failure part way leaves the
    // store as the last completed load wrote it. Reading stops at the first entry that decides.
    auto lines = readHexFile(*path, TransferState::MaxLines);
    if (const auto* error = std::get_if<RuntimeError>(&lines)) {
        // The earlier transfer may have been interrupted part way: stop it for good.
        transfer.armed = false;
        transfer.linePos = 0;
        showError(*error);
        return;
    }
    transfer.lineStore = std::get<LineStore>(std::move(lines));
    const auto count = qint16(transfer.lineStore.count());
    transfer.lineCount = count;
    progressBar->setMax(count);
    loadedLineCount = QString::number(count);
    progressBar->setText(QStringLiteral("READY"));
    transfer.linePos = 0;
    // A file without lines has nothing to send: the transfer stays disarmed.
    transfer.armed = count > 0;
    sendNextLine();
}

void UP_config::sendNextLine() {
    const auto step = transferStep(transfer);
    if (!step)
        return;
    if (step->downloadPass)
        progressBar->setText(QStringLiteral("DOWNLOAD"));
    sendCommand(step->commandLine);
    lastSentLine = step->sentForm;
    progressBar->setValue(step->barValue);
}

void UP_config::dispatchReply() {
    const ReplyEffects e = applyReply(lastReply, transfer);
    if (e.barText)
        progressBar->setText(*e.barText);
    if (e.barColor)
        progressBar->setBarColor(*e.barColor);
    if (e.transferEnded) {
        openAndDownloadButton->setEnabled(true);
        receivedDatagram.clear();
    }
    if (e.step)
        sendNextLine();
}
