#include "heuristic/model_package.h"

#include <sys/stat.h>
#include <zip.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <tuple>
#include <vector>

#include <torch/csrc/inductor/aoti_package/model_package_loader.h>

namespace quelmar {
namespace {

using Loader = torch::inductor::AOTIModelPackageLoader;

[[noreturn]] void damaged(const std::string& path, const std::string& why) {
  throw std::runtime_error("Model package '" + path + "' is damaged or not a model package: " + why);
}

// A member name the loader may extract: relative, '/'-separated, and never
// climbing out of the extraction folder.
bool safeMemberName(std::string_view name) {
  if (name.empty() || name.front() == '/' || name.find('\\') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos)
    return false;
  if (name.size() >= 2 && name[1] == ':') return false;  // a drive letter
  size_t begin = 0;
  while (begin <= name.size()) {
    const size_t end = std::min(name.find('/', begin), name.size());
    if (name.substr(begin, end - begin) == "..") return false;
    begin = end + 1;
  }
  return true;
}

struct ArchiveCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};

struct Identity {
  std::string path;  // resolved
  uint64_t file_device, inode;
  int64_t size, mtime_ns;
  std::string device;

  auto tied() const { return std::tie(path, file_device, inode, size, mtime_ns, device); }
  bool operator<(const Identity& other) const { return tied() < other.tied(); }
  bool sameFile(const Identity& other) const { return tied() == other.tied(); }
};

Identity identify(const std::string& path, const c10::Device& device, bool* is_directory) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0)
    throw std::runtime_error("Model package '" + path + "' cannot be read: " + std::strerror(errno));
  char resolved[PATH_MAX];
  Identity id;
  id.path = ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
  id.file_device = static_cast<uint64_t>(info.st_dev);
  id.inode = static_cast<uint64_t>(info.st_ino);
  id.size = static_cast<int64_t>(info.st_size);
  id.mtime_ns = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  id.device = device.str();
  if (is_directory != nullptr) *is_directory = S_ISDIR(info.st_mode);
  return id;
}

// Heap-allocated and never destroyed: at process exit LibTorch's own state
// may already be gone; releaseUnusedModelPackages() empties it while it is not.
struct Cache {
  std::mutex mutex;  // guards entries
  std::map<Identity, std::shared_ptr<Loader>> entries;
  std::mutex load_mutex;  // concurrent loads were seen to abort the process
};

Cache& cache() {
  static Cache* instance = new Cache;
  return *instance;
}

}  // namespace

void checkModelPackageArchive(const std::string& path) {
  int code = 0;
  std::unique_ptr<zip_t, ArchiveCloser> archive(zip_open(path.c_str(), ZIP_RDONLY, &code));
  if (!archive) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    const std::string why = zip_error_strerror(&error);
    zip_error_fini(&error);
    damaged(path, why);
  }
  const zip_int64_t members = zip_get_num_entries(archive.get(), 0);
  if (members <= 0) damaged(path, "the archive has no members");
  std::vector<char> buffer(1 << 20);
  for (zip_int64_t i = 0; i < members; ++i) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(i), 0, &stat) != 0 ||
        !(stat.valid & ZIP_STAT_NAME) || !(stat.valid & ZIP_STAT_SIZE))
      damaged(path, "member " + std::to_string(i) + " has no readable entry");
    const std::string name = stat.name;
    if (!safeMemberName(name))
      damaged(path, "member name '" + name + "' leads outside the extraction folder");
    zip_file_t* member = zip_fopen_index(archive.get(), static_cast<zip_uint64_t>(i), 0);
    if (member == nullptr)
      damaged(path, "member '" + name + "': " + zip_strerror(archive.get()));
    // Reading to the end makes libzip compare the CRC-32.
    zip_uint64_t total = 0;
    zip_int64_t got = 0;
    while ((got = zip_fread(member, buffer.data(), buffer.size())) > 0)
      total += static_cast<zip_uint64_t>(got);
    const std::string read_error = got < 0 ? zip_error_strerror(zip_file_get_error(member)) : "";
    zip_fclose(member);
    if (got < 0) damaged(path, "member '" + name + "': " + read_error);
    if (total != stat.size)
      damaged(path, "member '" + name + "' holds " + std::to_string(total) + " bytes, its entry says " +
                        std::to_string(stat.size));
  }
}

std::shared_ptr<Loader> loadModelPackage(const std::string& path, const c10::Device& device) {
  Cache& c = cache();
  bool is_directory = false;
  const Identity id = identify(path, device, &is_directory);
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    const auto found = c.entries.find(id);
    if (found != c.entries.end()) return found->second;
  }
  std::lock_guard<std::mutex> load_lock(c.load_mutex);
  {
    // Another thread may have loaded it while this one waited.
    std::lock_guard<std::mutex> lock(c.mutex);
    const auto found = c.entries.find(id);
    if (found != c.entries.end()) return found->second;
  }
  // An unpacked package folder has no archive to check.
  if (!is_directory) checkModelPackageArchive(path);
  // The package picks its own device index; callers move inputs themselves.
  auto loader = std::make_shared<Loader>(path, "model", /*run_single_threaded=*/false,
                                         /*num_runners=*/1, /*device_index=*/-1);
  // A file replaced while it was checked and loaded is used once, not cached
  // under the old identity.
  if (!identify(path, device, nullptr).sameFile(id)) return loader;
  std::lock_guard<std::mutex> lock(c.mutex);
  // Older versions of the same file that nobody holds are dropped.
  for (auto it = c.entries.begin(); it != c.entries.end();) {
    const bool stale = it->first.path == id.path && it->first.device == id.device &&
                       it->second.use_count() == 1;
    it = stale ? c.entries.erase(it) : std::next(it);
  }
  c.entries.emplace(id, loader);
  return loader;
}

size_t releaseUnusedModelPackages() {
  Cache& c = cache();
  // Unloading, like loading, runs one at a time.
  std::lock_guard<std::mutex> load_lock(c.load_mutex);
  std::vector<std::shared_ptr<Loader>> released;  // destroyed outside the cache lock
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    for (auto it = c.entries.begin(); it != c.entries.end();) {
      if (it->second.use_count() == 1) {
        released.push_back(std::move(it->second));
        it = c.entries.erase(it);
      } else {
        ++it;
      }
    }
  }
  return released.size();
}

size_t cachedModelPackageCount() {
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  return c.entries.size();
}

}  // namespace quelmar
