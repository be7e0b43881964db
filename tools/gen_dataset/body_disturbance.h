#ifndef TOOLS_GEN_DATASET_BODY_DISTURBANCE_H
#define TOOLS_GEN_DATASET_BODY_DISTURBANCE_H

#include "tools/gen_dataset/body_track.h"
#include "tools/gen_dataset/random_stream.h"

// A scripted motion is cleaner than a living body. These add what the
// scripts leave out, smoothly, so they only add rates and accelerations of
// the size real recordings show.

// Slow postural sway and breathing, at every moment, standing or lying.
void AddPosturalSway(BodyTrack* track, RandomStream* rng);

// The jolts of swinging arms, legs and soft tissue: a jitter of a few
// millimetres and about a degree, at 1 to 5 Hz on every axis, growing with
// how vigorously the body moves at the time and absent at rest. Without it a
// jump's flight would read a perfect 0 g and a walk would stay in one plane.
void AddMovementDisturbance(BodyTrack* track, RandomStream* rng);

#endif
