// A Fyers instrument picker: downloads one exchange family's symbol-details file, filters it by
// words, and gathers the chosen instruments' Fyers tokens.
#pragma once

#include "ui/dialogs/FyersSymbolDetailsParser.h"

#include <QDialog>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

class QComboBox;
class QDialogButtonBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QNetworkAccessManager;
class QProgressBar;
class QPushButton;
class QSplitter;
class QTableWidget;
class DialogPrompts;

class SymbolSelectorDialog : public QDialog {
    Q_OBJECT
public:
    // text: a caller's label, kept with the dialog and not shown.
    explicit SymbolSelectorDialog(const QString& text, QWidget* parent = nullptr);
    ~SymbolSelectorDialog() override;

    QStringList selectedSymbols() const { return selectedSymbolList; }
    void setSelectedSymbols(const QStringList& tokens);

    // Scheme and host of the public symbol-details files; tests point it at 127.0.0.1.
    void setSymbolHost(const QString& baseUrl);
    void setDownloadTimeout(int ms) { downloadTimeoutMs = ms; }
    void setPrompts(DialogPrompts* prompts);
    QList<SymbolData> loadedSymbols() const { return allSymbols; }
    QString callerText() const { return text; }

private slots:
    void onExchangeChanged();
    void onSegmentChanged();
    void onSearchTextChanged();
    void onLoadSymbolsClicked();
    void onSymbolMasterDownloaded();
    void onAddSymbolClicked();
    void onRemoveSymbolClicked();
    void onSymbolDoubleClicked(int row, int column);
    void onSelectedSymbolDoubleClicked();

private:
    void setupUi();
    void setupExchanges();
    void populateSegments();
    void downloadSymbolMaster(const QString& url);
    void parseSymbolMasterCsv(const QByteArray& data);
    void applyFilters();
    void populateTable();
    void addToSelected(const SymbolData& symbol);

    QSplitter* splitter = nullptr;
    QGroupBox* availableGroup = nullptr;
    QGroupBox* selectedGroup = nullptr;
    QComboBox* exchangeCombo = nullptr;
    QComboBox* segmentCombo = nullptr;
    QLineEdit* searchEdit = nullptr;
    QPushButton* loadButton = nullptr;
    QTableWidget* symbolTable = nullptr;
    QPushButton* addButton = nullptr;
    QProgressBar* progressBar = nullptr;
    QLabel* statusLabel = nullptr;
    QListWidget* selectedList = nullptr;
    QPushButton* removeButton = nullptr;
    QDialogButtonBox* buttonBox = nullptr;
    QString text;
    QNetworkAccessManager* networkManager;
    QList<SymbolData> allSymbols;
    QList<SymbolData> filteredSymbols;
    QStringList selectedSymbolList;
    QMap<QString, QString> exchangeUrls;
    QMap<QString, QStringList> exchangeSegments;
    QString symbolHost;
    int downloadTimeoutMs = 60000;
    DialogPrompts* prompts;
};
