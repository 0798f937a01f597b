// The directory a Board's files live in on the host, and the map from the
// board's fixed paths to it. Inside a run these directories are mounted over
// the real paths (see launcher.h); outside, the tests read and write them
// directly.
#pragma once

#include <string>
#include <vector>

namespace boardsim {

class Sandbox {
 public:
  // Makes the directory tree under workdir ("" = $BOARDSIM_WORKDIR or
  // /var/tmp). Throws std::runtime_error when it cannot.
  Sandbox(const std::string& workdir, int serial_ports, bool keep);
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& root() const { return root_; }
  // The sandbox path of a board path; throws std::invalid_argument for a
  // path outside the sandboxed ones or one that climbs out with "..".
  std::string host_path(const std::string& board_path) const;
  // A file of the simulator itself (socket, logs, Panel count), never seen
  // by the programs under their board paths.
  std::string private_path(const std::string& name) const;
  std::string dir(const std::string& name) const { return root_ + "/" + name; }

  // The stand-in scripts for date and hwclock.
  void write_standin(const std::string& name, int status) const;
  std::string standin_log() const { return private_path("standin.log"); }
  static const std::vector<std::string>& standin_names();
  // Host nodes bound into the sandbox's /dev inside a run, so that ordinary
  // programs (shells, ls, the sanitiser runtime) keep working there.
  static const std::vector<std::string>& host_nodes();

 private:
  void make_dev(int serial_ports) const;
  std::string root_;
  bool keep_;
};

// Makes a directory and its missing parents; throws std::runtime_error.
void make_dirs(const std::string& path);
// Removes a directory tree without following symbolic links.
void remove_tree(const std::string& path);
// Writes a whole file (created 0644, truncated); throws std::runtime_error.
void write_whole_file(const std::string& path, const std::string& content);
// Reads a whole file; false when it cannot be opened.
bool read_whole_file(const std::string& path, std::string& content);

}  // namespace boardsim
