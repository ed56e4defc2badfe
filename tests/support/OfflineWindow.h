// Seams for a main window under test that never leaves 127.0.0.1: instrument and master downloads
// go to a closed local port and fail at once, and the symbol manager's boxes are answered.
#pragma once

#include "support/ScriptedDialogPrompts.h"
#include "symbols/SymbolRepository.h"
#include "ui/MainWindow.h"
#include "ui/UserPrompts.h"
#include "ui/dialogs/SymbolManager.h"

#include <memory>

inline MainWindowSeams offlineWindowSeams(std::shared_ptr<UserPrompts> prompts)
{
    MainWindowSeams seams;
    seams.prompts = std::move(prompts);
    const QString closed = QStringLiteral("http://127.0.0.1:1");
    seams.prepareRepository = [closed](SymbolRepository* repo) {
        for (const char* name : {"FlatTrade", "Zerodha", "Fyers", "TradeJini", "Dhan", "Upstox"})
            repo->setDownloadHost(QString::fromLatin1(name), closed);
        repo->setDownloadTimeout(2000);
        repo->setUpstoxTimeout(2000);
    };
    seams.prepareSymbolManager = [closed](SymbolManager* manager) {
        static ScriptedDialogPrompts quiet;
        manager->setPrompts(&quiet);
        for (const char* name : {"FlatTrade", "Zerodha", "Fyers", "TradeJini"})
            manager->setMasterHost(QString::fromLatin1(name), closed);
        manager->setDownloadTimeout(2000);
    };
    return seams;
}
