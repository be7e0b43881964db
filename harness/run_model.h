#ifndef HARNESS_RUN_MODEL_H
#define HARNESS_RUN_MODEL_H

struct FallClassifierConfig;

// The fall model every detector of a run uses: the one carried in the
// program, or the file that the environment variable TUMBLIX_MODEL names
// (an empty value counts as unset). The file is read and checked once,
// before the first replay, so that a model that cannot be used ends the run
// at once instead of leaving every recording unscored.
extern const char kRunModelVariable[];

// Reads and checks the file TUMBLIX_MODEL names. True when the variable is
// unset or the file can be used; false after one message on standard error
// that names the file and the reason.
bool LoadRunModel();

// Points config at the run's model: a fresh heap copy of the file's bytes,
// which the classifier owns from create on, or nothing (the built-in model).
// False when the copy cannot be made.
bool ApplyRunModel(FallClassifierConfig* config);

// The path of the run's model file; nullptr for the built-in model.
const char* RunModelPath();

#endif
