#include "net/host_lookup.h"

#include <QHostInfo>

HostLookup HostLookup::system() {
    return {[](const QString& host, QObject* context, Answer answer) {
                return QHostInfo::lookupHost(host, context,
                                             [answer = std::move(answer)](const QHostInfo& info) {
                                                 answer(info.addresses(), info.errorString());
                                             });
            },
            [](int id) { QHostInfo::abortHostLookup(id); }};
}
