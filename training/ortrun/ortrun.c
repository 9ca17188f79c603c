/* Minimal ONNX Runtime runner used by the training scripts through ctypes:
 * checks exported models against PyTorch, times them, and runs them in the
 * Python reference pipeline.  Build: see build.sh. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <onnxruntime_c_api.h>

static const OrtApi *g;
static OrtEnv *env;

typedef struct {
  OrtSession *sess;
  char *in_name, *out_name;
  OrtMemoryInfo *mem;
} Runner;

static int check(OrtStatus *st) {
  if (st) {
    fprintf(stderr, "ort: %s\n", g->GetErrorMessage(st));
    g->ReleaseStatus(st);
    return 1;
  }
  return 0;
}

void *ort_load(const char *path, int threads) {
  if (!g) {
    g = OrtGetApiBase()->GetApi(ORT_API_VERSION);
    if (check(g->CreateEnv(ORT_LOGGING_LEVEL_WARNING, "ortrun", &env))) return NULL;
  }
  OrtSessionOptions *so;
  if (check(g->CreateSessionOptions(&so))) return NULL;
  g->SetIntraOpNumThreads(so, threads);
  g->SetInterOpNumThreads(so, 1);
  g->SetSessionGraphOptimizationLevel(so, ORT_ENABLE_ALL);
  Runner *r = calloc(1, sizeof(Runner));
  if (check(g->CreateSession(env, path, so, &r->sess))) return NULL;
  g->ReleaseSessionOptions(so);
  OrtAllocator *al;
  g->GetAllocatorWithDefaultOptions(&al);
  char *n;
  g->SessionGetInputName(r->sess, 0, al, &n); r->in_name = strdup(n); al->Free(al, n);
  g->SessionGetOutputName(r->sess, 0, al, &n); r->out_name = strdup(n); al->Free(al, n);
  g->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &r->mem);
  return r;
}

/* Runs the model; copies up to out_cap floats of the first output into out.
 * Returns the number of output elements, or -1. */
long ort_run(void *h, const float *in, const long *shape, int ndim, float *out, long out_cap) {
  Runner *r = h;
  int64_t sh[8];
  size_t n = 1;
  for (int i = 0; i < ndim; i++) { sh[i] = shape[i]; n *= shape[i]; }
  OrtValue *iv = NULL, *ov = NULL;
  if (check(g->CreateTensorWithDataAsOrtValue(r->mem, (void *)in, n * sizeof(float), sh, ndim,
                                             ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &iv))) return -1;
  const char *in_names[1] = {r->in_name};
  const char *out_names[1] = {r->out_name};
  if (check(g->Run(r->sess, NULL, in_names, (const OrtValue *const *)&iv, 1, out_names, 1, &ov))) return -1;
  OrtTensorTypeAndShapeInfo *info;
  g->GetTensorTypeAndShape(ov, &info);
  size_t cnt;
  g->GetTensorShapeElementCount(info, &cnt);
  g->ReleaseTensorTypeAndShapeInfo(info);
  float *data;
  g->GetTensorMutableData(ov, (void **)&data);
  long m = (long)cnt < out_cap ? (long)cnt : out_cap;
  if (out) memcpy(out, data, m * sizeof(float));
  g->ReleaseValue(ov);
  g->ReleaseValue(iv);
  return (long)cnt;
}

void ort_free(void *h) {
  Runner *r = h;
  g->ReleaseSession(r->sess);
  g->ReleaseMemoryInfo(r->mem);
  free(r->in_name); free(r->out_name); free(r);
}
