// Replays a fuzz corpus (files or folders named) without the fuzzing engine.
// readdir on purpose: it fails on a 32-bit build without 64-bit file offsets.
#include <dirent.h>

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
    DIR* dir = opendir(argv[i]);
    if (!dir) runs += std::ifstream(argv[i]).good() ? RunFile(argv[i]) : 0;
    for (dirent* e; dir && (e = readdir(dir));)
      if (e->d_name[0] != '.') runs += RunFile(std::string(argv[i]) + "/" + e->d_name);
    if (dir) closedir(dir);
  }
  std::printf("replayed %d inputs\n", runs);
  return runs > 0 ? 0 : 1;
}
