#ifndef TUMBLIX_ML_FALL_MODEL_H
#define TUMBLIX_ML_FALL_MODEL_H

// The fall model carried in the program: the bytes of
// tumblix/ml/models/fall_model.tflite, a TFLite flatbuffer ("TFL3"),
// starting on an 8-byte boundary so that its float data can be read in place.
extern const unsigned char fall_model[];
extern const unsigned int fall_model_len;

#endif
