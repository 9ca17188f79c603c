// Initialises a module from the package named on the command line with the
// real standard output, so tests can see exactly what Init writes there.
//
//   keshocr_init_probe PACKAGE [--stack KIB] [FILLER...]
//
// --stack runs Init on a thread with a stack of KIB kibibytes; FILLER
// arguments are ignored and only make the command line long.
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "KeshOCR.h"

namespace {

struct Job {
  std::string package;
  veltrano::ResultCode rc = veltrano::InvalidModel;
};

void* RunInit(void* arg) {
  Job* job = static_cast<Job*>(arg);
  veltrano::KeshOCRModule module;
  job->rc = module.Init(job->package, false, 0);
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: keshocr_init_probe PACKAGE [--stack KIB] [FILLER...]\n";
    return 2;
  }
  Job job{argv[1]};
  if (argc >= 4 && std::strcmp(argv[2], "--stack") == 0) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, std::strtoul(argv[3], nullptr, 10) * 1024);
    pthread_t thread;
    if (pthread_create(&thread, &attr, RunInit, &job) != 0) return 3;
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
  } else {
    RunInit(&job);
  }
  std::cout << "rc = " << job.rc << std::endl;
  return 0;
}
