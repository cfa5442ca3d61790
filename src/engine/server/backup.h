// Backup files: a consistent copy of a database file (SQLite's online
// backup, so writers go on meanwhile) that also records which database it
// holds and the logical names of its files.
#pragma once

#include <string>
#include <vector>

namespace tillbase::engine::server {

struct BackupFile {
  std::string logical_name;
  char type = 'D';  // 'D' data, 'L' log
};

struct BackupHeader {
  std::string database;  // the database that was backed up
  std::string backup_date;
  std::vector<BackupFile> files;
  int64_t pages = 0;
  int64_t page_size = 0;
};

// Writes a backup of the database file `source` to `target`. The file
// appears only when complete. Throws 3201 when the target cannot be written.
BackupHeader WriteBackup(const std::string& source, const std::string& database,
                         const std::string& data_logical, const std::string& log_logical,
                         const std::string& target);

// Reads what a backup file holds; throws 3201 when it cannot be opened and
// 3241 when it is no backup.
BackupHeader ReadBackupHeader(const std::string& path);

// Copies the backup's database into `target_path` (replacing the file there
// and its WAL) without the backup's own records.
void RestoreBackup(const std::string& backup_path, const std::string& target_path);

}  // namespace tillbase::engine::server
