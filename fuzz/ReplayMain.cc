// Runs a fuzz harness over every file named on the command line (or every
// file of the folders named), so the corpus is replayed by the normal test
// suite without the fuzzing engine.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int RunFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 1;
}

int main(int argc, char** argv) {
  int runs = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st {};
    if (stat(argv[i], &st) != 0) continue;
    if (!S_ISDIR(st.st_mode)) {
      runs += RunFile(argv[i]);
      continue;
    }
    if (DIR* dir = opendir(argv[i])) {
      while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.') runs += RunFile(std::string(argv[i]) + "/" + e->d_name);
      closedir(dir);
    }
  }
  std::printf("replayed %d inputs\n", runs);
  return runs > 0 ? 0 : 1;
}
