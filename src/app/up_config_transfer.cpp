// The firmware transfer: loading the HEX file and the replies that drive the passes. The rules
// are the conversation's; this shows and sends what it says.
#include "app/up_config.h"

#include "core/io/files.h"
#include "core/transfer/hex_loader.h"

#include <QPushButton>

void UP_config::openAndDownload() {
    m_conversation.loadStarting();
    const auto path = m_services.openFile(this, HexFilter);
    if (!path || path->isEmpty()) {
        m_services.messageBox(this, QStringLiteral("Cancel"), QString(), MessageIcon::None);
        return;
    }
    apply(m_conversation.loadOpening());
    // A file that cannot be opened leaves the transfer as the opening left it: still armed, back
    // at the start, so the device's next "OK" sends line 1 of the last completed load.
    auto file = InputFile::open(*path);
    if (!file) {
        showError(file.failure());
        return;
    }
    // The file is read to its end before anything is stored, so a failure part way leaves the
    // store as the last completed load wrote it. Reading stops at the first entry that decides.
    auto lines = readHexFile(*file, TransferState::MaxLines);
    if (!lines) {
        m_conversation.loadFailed();
        showError(lines.failure());
        return;
    }
    apply(m_conversation.loaded(std::move(*lines)));
}

void UP_config::dispatchReply() {
    apply(m_conversation.reply(m_lastReply));
}

void UP_config::apply(const WindowEffects& e) {
    if (e.barMax)
        progressBar->setMax(*e.barMax);
    if (e.barText)
        progressBar->setText(*e.barText);
    if (e.barColor)
        progressBar->setBarColor(*e.barColor);
    if (e.transferEnded) {
        openAndDownloadButton->setEnabled(true);
        m_receivedDatagram.clear();
    }
    // A line that cannot be sent (too long for a datagram, refused by the system) still counts as
    // sent: the bar shows it and the transfer waits for an answer that will not come, until the
    // operator loads again or disconnects. The step never reads past the store either way.
    if (e.send)
        (void)sendCommand(*e.send);
    if (e.barValue)
        progressBar->setValue(*e.barValue);
}
