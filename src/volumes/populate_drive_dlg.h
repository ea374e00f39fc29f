// The volume list page: runs the chosen volume scan, lists the volumes, lets the user filter them, add a
// volume by hand or override a volume's start, end and file system, and hands the chosen one on.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/page_sink.h"
#include "platform/page_view.h"
#include "platform/worker.h"
#include "volumes/partition.h"
#include "volumes/volume_entry.h"

namespace tessary {

struct WizardState;

class PopulateDriveDlg {
 public:
  // Control ids of the page's view.
  static constexpr const char* kFilterEntries = "Filter Entries";
  // Lists every volume again after Filter Entries.
  static constexpr const char* kShowAllEntries = "Show All Entries";
  static constexpr const char* kAddCustomVolume = "Add Custom Volume";
  static constexpr const char* kCustomSettings = "Custom Settings For Selected Volume ";
  static constexpr const char* kSelectedVolume = "Selected Volume :";
  static constexpr const char* kStartSector = "Start Sector:";
  static constexpr const char* kEndSector = "End Sector :";
  static constexpr const char* kStartArrows = "Start Sector: arrows";
  static constexpr const char* kEndArrows = "End Sector : arrows";
  static constexpr const char* kTreatAs = "Treat file system as:";
  static constexpr const char* kStop = "Stop";
  static constexpr const char* kBack = "Back";
  static constexpr const char* kNext = "Next";
  static constexpr const char* kHelp = "Help";

  static constexpr std::array<const char*, 4> kColumns = {"VOLUME", "FILE_SYSTEM", "VOLUME_SIZE", "START_SECTOR"};
  static constexpr int kColumnWidth = 80;
  // "Treat file system as:" is a sorted drop-down list of the registry's entries.

  // One list row as shown: the four column texts, its check box, and the record it stands for.
  struct ListRow {
    std::string volume;
    std::string fileSystem;
    std::string volumeSize;
    std::string startSector;
    bool checked = false;
    bool ownsRecord = false;      // advanced scan: the row holds its own copy of the record
    bool custom = false;          // added by "Add Custom Volume"
    std::size_t recordIndex = 0;  // otherwise: the record's index in the page's array
  };

  // Where Next leads.
  enum class NextPage { None, RecoveryMode, Raw };

  // `rawPageBuilt` tells whether the build has the raw page; without it "RAW" is not offered.
  PopulateDriveDlg(WizardState& state, PageView& view, PageSink& sink, bool rawPageBuilt = true);
  ~PopulateDriveDlg();  // stops a running scan and waits for it
  PopulateDriveDlg(const PopulateDriveDlg&) = delete;
  PopulateDriveDlg& operator=(const PopulateDriveDlg&) = delete;

  // Sets up the controls and runs the standard scan, or starts the advanced scan's worker. False when the
  // page refused (no reader, the image would not open), after its message.
  bool onOpen();
  // Waits until the advanced scan's worker has reported.
  void waitForScan();
  bool scanRunning() const;
  void onStop();

  // Selecting a row fills the three custom fields; clicking it also picks "Treat file system as:".
  void onRowSelected(int row);
  void onRowClicked(int row);
  void onRowChecked(int row, bool checked);
  void onCustomSettingsToggled(bool checked);
  void onStartUp();
  void onStartDown();
  void onEndUp();
  void onEndDown();
  void onFilterEntries();
  // Undoes Filter Entries: the rows as they were before the first filter (custom volumes added since
  // stay listed).
  void onShowAllEntries();
  void onAddCustomVolume();
  // Hands the selected volume on (into WizardState::selectedVolume) and tells which page comes next.
  NextPage onNext();
  void onBack();

  std::vector<ListRow> rows() const;
  std::vector<VolumeEntry> volumes() const;
  // The record a row stands for.
  std::optional<VolumeEntry> rowRecord(int row) const;
  int selectedRow() const;
  // What the last scan returned (Partition's result), none before a scan finished.
  std::optional<int> scanResult() const;
  bool holdsScanner() const;
  // What the disk's first two sectors said when the standard scan ran, for pages that offer the other
  // table: the MBR holds only a protective 0xEE entry (a GPT disk read as MBR, listed as one "Unknown"
  // volume), and sector 1 holds a GPT header. Both false before a standard scan or when the reads failed.
  bool protectiveMbrOnly() const;
  bool gptHeaderFound() const;
  // Called after the rows changed (also from the scan's worker); a GUI refreshes its list.
  void setRowsObserver(std::function<void()> observer);

 private:
  struct Row {
    std::string volume;
    std::string fileSystem;
    std::string volumeSize;
    std::string startSector;
    std::uint64_t sizeBytes = 0;  // the record's exact length as scanned, 0 where unknown
    bool checked = false;
    std::size_t record = 0;
    std::unique_ptr<VolumeEntry> owned;
    // A custom volume keeps the sector fields the user typed while it was selected.
    bool custom = false;
    std::string typedStart;
    std::string typedEnd;
  };
  Row copyRow(const Row& row) const;
  // Keeps what the sector fields hold in the selected row when it is a custom volume.
  void keepTypedLocked(const std::string& start, const std::string& end);

  bool advancedMode() const;
  std::int64_t sectorsPerMib() const;
  bool openStandard();
  bool openAdvanced();
  void recreateReader();
  void finishAdvancedScan(int result);
  void setCustomControlsEnabled(bool enabled);
  void setPageButtonsEnabled(bool enabled);
  void step(const char* field, int delta);
  struct SelectionTexts {
    std::string volume;
    std::string start;
    std::string end;
    std::string fileSystem;
  };
  std::optional<SelectionTexts> selectRowLocked(int row);
  void showSelection(const SelectionTexts& texts);
  VolumeEntry& recordOf(Row& row);
  void dropOwnedRecords();
  void rowsChanged();
  Row makeRow(const VolumeEntry& record, std::size_t index, bool own) const;

  WizardState& m_state;
  PageView& m_view;
  PageSink& m_sink;
  bool m_rawPageBuilt;

  mutable std::mutex m_mutex;  // guards the array, the rows and the selection
  std::vector<VolumeEntry> m_volumes;
  std::vector<Row> m_rows;
  std::optional<std::vector<Row>> m_unfiltered;  // the rows before the first Filter Entries
  int m_selected = -1;
  bool m_customApplied = false;
  std::optional<int> m_scanResult;
  bool m_protectiveMbrOnly = false;
  bool m_gptHeaderFound = false;
  std::function<void()> m_rowsObserver;

  mutable std::mutex m_scannerMutex;  // guards m_partition against Stop while the worker lets it go
  std::unique_ptr<Partition> m_partition;
  Worker m_worker;
};

}  // namespace tessary
