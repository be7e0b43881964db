#include "tools/gen_dataset/activity_scripts.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "harness/kfall_tasks.h"
#include "tools/gen_dataset/fall_motion.h"
#include "tools/gen_dataset/gait.h"

namespace {

// The trial in hand: who moves, where the motion goes, and the trial's draws.
// Every random value is drawn in its own statement, so the order of draws,
// and with it the data set, does not depend on how a compiler orders the
// evaluation of arguments.
struct Scene {
  BodyTrack* track;
  const SubjectProfile* subject;
  RandomStream* rng;
};

double Span(Scene* s, double low, double high) { return Uniform(s->rng, low, high); }

// The value give or take `relative` (one standard deviation), kept within
// two standard deviations.
double Vary(Scene* s, double value, double relative) {
  const double g = std::clamp(Gaussian(s->rng), -2.0, 2.0);
  return value * (1.0 + relative * g);
}

// Duration of a postural change for this subject, varying from trial to trial.
double Took(Scene* s, double seconds) { return Vary(s, seconds, 0.12) / s->subject->briskness; }

double SeatedPelvis(double seat_height) { return seat_height + 0.10; }

void Move(Scene* s, const PoseGoal& goal, double seconds) { AppendMove(s->track, goal, seconds); }

void Pause(Scene* s, double low, double high) { AppendHold(s->track, Span(s, low, high)); }

void StartStanding(Scene* s) {
  const double lean = Span(s, 0.0, 0.06);
  const double roll = 0.02 * Gaussian(s->rng);
  const double heading = Span(s, 0.0, 2.0 * kPi);
  StartTrack(s->track, {0.0, 0.0, s->subject->hip_height}, lean, roll, heading);
  Pause(s, 1.0, 2.0);
}

void StartSeated(Scene* s, double seat_height, double lean) {
  const double roll = 0.02 * Gaussian(s->rng);
  const double heading = Span(s, 0.0, 2.0 * kPi);
  StartTrack(s->track, {0.0, 0.0, SeatedPelvis(seat_height)}, lean, roll, heading);
  Pause(s, 1.0, 2.0);
}

PoseGoal Goal(double height, double pitch) {
  PoseGoal goal;
  goal.height = height;
  goal.pitch = pitch;
  return goal;
}

// Standing to seated: lean forward while the knees bend, lower the pelvis
// backward onto the seat, land on it and sit up.
void SitDown(Scene* s, double seat_height, double quickness) {
  const double hip = s->subject->hip_height;
  PoseGoal bend = Goal(hip - 0.12, Span(s, 0.35, 0.6));
  bend.forward = -0.05;
  Move(s, bend, Took(s, 0.7) / quickness);
  PoseGoal lower = Goal(SeatedPelvis(seat_height) + 0.02, Span(s, 0.2, 0.35));
  lower.forward = -0.2;
  lower.end_vertical_speed = -Span(s, 0.15, 0.3) * quickness;
  Move(s, lower, Took(s, 0.8) / quickness);
  AppendStop(s->track, Span(s, 0.12, 0.2) / std::sqrt(quickness));
  PoseGoal upright;
  upright.pitch = Span(s, 0.0, 0.1);
  Move(s, upright, Took(s, 0.6) / quickness);
}

// Seated to standing: lean forward over the feet, rise, straighten.
void GetUp(Scene* s, double quickness) {
  const double hip = s->subject->hip_height;
  PoseGoal lean;
  lean.pitch = Span(s, 0.5, 0.75);
  lean.forward = 0.05;
  Move(s, lean, Took(s, 0.6) / quickness);
  PoseGoal rise = Goal(hip - 0.15, Span(s, 0.3, 0.45));
  rise.forward = 0.2;
  Move(s, rise, Took(s, 0.7) / quickness);
  Move(s, Goal(hip, Span(s, 0.0, 0.06)), Took(s, 0.7) / quickness);
}

// Small posture corrections during a long still task.
void FidgetFor(Scene* s, double seconds, double amplitude) {
  const double base_pitch = Last(*s->track, kPitch);
  const double base_roll = Last(*s->track, kRoll);
  double left = seconds;
  while (left > 0.0) {
    const double still = std::min(left, Span(s, 4.0, 10.0));
    AppendHold(s->track, still);
    left -= still;
    if (left <= 1.5) continue;
    PoseGoal shift;
    shift.pitch = base_pitch + amplitude * Gaussian(s->rng);
    shift.roll = base_roll + amplitude * Gaussian(s->rng);
    shift.left = 0.3 * amplitude * Gaussian(s->rng);
    const double took = Span(s, 0.6, 1.4);
    Move(s, shift, took);
    left -= took;
  }
}

GaitStyle WalkStyle(Scene* s, bool quick) {
  GaitStyle style;
  style.reference_speed = (quick ? 1.6 : 1.15) * s->subject->pace;
  style.step_rate = Vary(s, quick ? 2.15 : 1.85, 0.05);
  style.bounce = Vary(s, quick ? 0.42 : 0.3, 0.15);
  style.lean = quick ? 0.08 : 0.05;
  style.sway = Vary(s, 1.0, 0.2);
  return style;
}

GaitStyle JogStyle(Scene* s, bool quick) {
  GaitStyle style;
  style.jog = true;
  style.reference_speed = (quick ? 3.0 : 2.3) * s->subject->pace;
  style.step_rate = Vary(s, quick ? 3.15 : 2.95, 0.05);
  style.stance_fraction = Vary(s, quick ? 0.52 : 0.57, 0.05);
  style.lean = quick ? 0.17 : 0.12;
  style.pitch_swing = 0.06;
  style.sway = Vary(s, 0.8, 0.2);
  return style;
}

// Start, go `distance` metres, turn round, come back and stop.
std::vector<GaitLeg> OutAndBack(Scene* s, const GaitStyle& style, double distance) {
  const double v = Vary(s, style.reference_speed, 0.06);
  const double ramp = 1.2;
  const double turn_seconds = Vary(s, style.jog ? 1.8 : 2.0, 0.1);
  const double cruise = std::max(0.3, (distance - 0.5 * v * ramp - 0.35 * v * turn_seconds) / v);
  const double side = RandomSign(s->rng);
  std::vector<GaitLeg> legs(5);
  legs[0] = {ramp, v};
  legs[1] = {cruise, v};
  legs[2] = {turn_seconds, 0.5 * v, side * kPi};
  legs[3] = {cruise, v};
  legs[4] = {ramp, 0.0};
  // The turn leg decelerates into the turn; the next one speeds up again.
  legs[3].seconds = cruise + 0.3;
  return legs;
}

// Walking at cruise speed for a while: the lead-in of falls while walking.
void WalkUpToSpeed(Scene* s, const GaitStyle& style, double cruise_seconds) {
  const double v = Vary(s, style.reference_speed, 0.06);
  std::vector<GaitLeg> legs(2);
  legs[0] = {1.2, v};
  legs[1] = {cruise_seconds, v};
  AppendGait(s->track, style, legs);
}

void Stairs(Scene* s, bool quick) {
  StartStanding(s);
  GaitStyle style = WalkStyle(s, quick);
  style.reference_speed = quick ? 0.75 : 0.55;
  style.step_rate = Vary(s, quick ? 2.0 : 1.55, 0.06);
  style.bounce = Vary(s, 0.38, 0.15);
  const int steps = 5;
  const double rise = Span(s, 0.15, 0.18);
  const double climb_seconds = (steps + 1.0) / (style.step_rate * 0.95);
  const double side = RandomSign(s->rng);
  std::vector<GaitLeg> legs(5);
  legs[0] = {0.8, style.reference_speed};
  legs[1] = {climb_seconds, style.reference_speed, 0.0, steps, rise};
  legs[2] = {Vary(s, 1.4, 0.1), 0.4 * style.reference_speed, side * kPi};
  legs[3] = {climb_seconds, style.reference_speed, 0.0, steps, -rise};
  legs[4] = {0.8, 0.0};
  AppendGait(s->track, style, legs);
}

void Jump(Scene* s) {
  const double hip = s->subject->hip_height;
  const double lift = Span(s, 0.06, 0.12);  // height of the flight (m)
  const double takeoff_speed = std::sqrt(2.0 * kGravity * lift);
  Move(s, Goal(hip - Span(s, 0.1, 0.18), Span(s, 0.2, 0.4)), Took(s, 0.45));
  PoseGoal push = Goal(hip + 0.03, 0.05);
  push.end_vertical_speed = takeoff_speed;
  Move(s, push, Span(s, 0.2, 0.28));
  // Flight: nothing but gravity acts, so the sensor measures almost nothing.
  const double flight = 2.0 * takeoff_speed / kGravity;
  const int ticks = SecondsToTicks(flight);
  double start[kChannelCount];
  for (int c = 0; c < kChannelCount; ++c) start[c] = Last(*s->track, c);
  AppendBlended(s->track, ticks, [&](int j, double values[kChannelCount]) {
    const double t = j * kTickSeconds;
    for (int c = 0; c < kChannelCount; ++c) values[c] = start[c];
    values[kPelvisZ] = start[kPelvisZ] + takeoff_speed * t - 0.5 * kGravity * t * t;
  });
  Move(s, Goal(hip - Span(s, 0.06, 0.14), Span(s, 0.15, 0.3)), Span(s, 0.18, 0.28));
  Move(s, Goal(hip, Span(s, 0.0, 0.06)), Took(s, 0.5));
}

// ---- the tasks ------------------------------------------------------------

void StandStill(Scene* s) {
  StartStanding(s);
  FidgetFor(s, Span(s, 28.0, 30.0), 0.02);
}

void BendAndTie(Scene* s) {
  StartStanding(s);
  const double hip = s->subject->hip_height;
  PoseGoal down = Goal(hip - Span(s, 0.1, 0.35), Span(s, 1.05, 1.4));
  down.forward = -0.08;
  Move(s, down, Took(s, 1.6));
  // Tying the lace: the trunk rocks a little with the hands.
  const int pulls = UniformInt(s->rng, 3, 6);
  for (int i = 0; i < pulls; ++i) {
    PoseGoal rock;
    rock.pitch = Last(*s->track, kPitch) + 0.06 * Gaussian(s->rng);
    rock.roll = 0.05 * Gaussian(s->rng);
    Move(s, rock, Span(s, 0.35, 0.7));
  }
  Move(s, Goal(hip, Span(s, 0.0, 0.06)), Took(s, 1.5));
  Pause(s, 1.0, 2.0);
}

void PickUp(Scene* s) {
  StartStanding(s);
  const double hip = s->subject->hip_height;
  Move(s, Goal(hip - Span(s, 0.1, 0.4), Span(s, 0.9, 1.3)), Took(s, 1.0));
  Pause(s, 0.3, 0.8);
  Move(s, Goal(hip, Span(s, 0.0, 0.06)), Took(s, 1.0));
  Pause(s, 1.0, 2.0);
}

void GentleJump(Scene* s) {
  StartStanding(s);
  const int jumps = UniformInt(s->rng, 1, 3);
  for (int i = 0; i < jumps; ++i) {
    Jump(s);
    Pause(s, 0.3, 0.8);
  }
  Pause(s, 0.8, 1.5);
}

void SitOnGround(Scene* s) {
  StartStanding(s);
  const double hip = s->subject->hip_height;
  Move(s, Goal(hip * 0.55, Span(s, 0.4, 0.6)), Took(s, 1.0));
  PoseGoal sit = Goal(0.13, Span(s, -0.25, 0.0));
  sit.forward = -0.25;
  sit.end_vertical_speed = -Span(s, 0.2, 0.45);
  Move(s, sit, Took(s, 0.9));
  AppendStop(s->track, Span(s, 0.1, 0.18));
  Pause(s, 1.5, 3.0);
  PoseGoal kneel = Goal(0.22, Span(s, 0.5, 0.7));
  kneel.forward = 0.15;
  Move(s, kneel, Took(s, 0.9));
  PoseGoal rise = Goal(hip * 0.6, Span(s, 0.6, 0.8));
  rise.forward = 0.15;
  Move(s, rise, Took(s, 0.9));
  Move(s, Goal(hip, Span(s, 0.0, 0.06)), Took(s, 1.0));
  Pause(s, 1.0, 1.5);
}

void WalkWithTurn(Scene* s, bool quick) {
  StartStanding(s);
  const GaitStyle style = WalkStyle(s, quick);
  AppendGait(s->track, style, OutAndBack(s, style, 4.0));
  Pause(s, 1.0, 1.5);
}

void JogWithTurn(Scene* s, bool quick) {
  StartStanding(s);
  const GaitStyle style = JogStyle(s, quick);
  AppendGait(s->track, style, OutAndBack(s, style, 4.0));
  Pause(s, 1.0, 1.5);
}

void StumbleWhileWalking(Scene* s) {
  StartStanding(s);
  const GaitStyle style = WalkStyle(s, false);
  const double v = Vary(s, style.reference_speed, 0.06);
  std::vector<GaitLeg> legs(4);
  legs[0] = {1.2, v};
  legs[1] = {Span(s, 2.0, 3.0), v};
  legs[1].stumble_at = Span(s, 0.8, 1.4);
  legs[1].stumble_pitch = Span(s, 0.2, 0.45);
  legs[2] = {Span(s, 1.0, 2.0), v};
  legs[3] = {1.2, 0.0};
  AppendGait(s->track, style, legs);
  Pause(s, 1.0, 1.5);
}

void SitStill(Scene* s, double seat_height, double lean) {
  StartSeated(s, seat_height, lean);
  FidgetFor(s, Span(s, 28.0, 30.0), 0.03);
}

void SitDownAndGetUp(Scene* s, double quickness) {
  StartStanding(s);
  SitDown(s, s->subject->chair_height, quickness);
  Pause(s, 1.0, 2.5);
  GetUp(s, quickness);
  Pause(s, 1.0, 1.5);
}

void CollapseIntoChair(Scene* s) {
  const double seat = s->subject->chair_height;
  StartSeated(s, seat, Span(s, 0.0, 0.1));
  PoseGoal lean;
  lean.pitch = Span(s, 0.5, 0.7);
  Move(s, lean, Took(s, 0.5));
  PoseGoal part_up = Goal(SeatedPelvis(seat) + Span(s, 0.12, 0.25), Span(s, 0.35, 0.5));
  part_up.forward = 0.1;
  Move(s, part_up, Took(s, 0.5));
  PoseGoal drop = Goal(SeatedPelvis(seat) + 0.02, Span(s, 0.05, 0.2));
  drop.forward = -0.1;
  drop.end_vertical_speed = -Span(s, 0.7, 1.1);
  Move(s, drop, Span(s, 0.3, 0.4));
  AppendStop(s->track, Span(s, 0.08, 0.14));
  Pause(s, 1.0, 2.0);
}

void SofaSitAndGetUp(Scene* s) {
  StartStanding(s);
  SitDown(s, s->subject->sofa_height, 0.9);
  PoseGoal recline;
  recline.pitch = -s->subject->sofa_recline;
  Move(s, recline, Took(s, 0.9));
  Pause(s, 1.5, 3.0);
  PoseGoal forward;
  forward.pitch = Span(s, 0.1, 0.25);
  Move(s, forward, Took(s, 1.0));
  GetUp(s, 0.85);
  Pause(s, 1.0, 1.5);
}

void LieStill(Scene* s) {
  const double bed = s->subject->bed_height;
  const double lean = -Span(s, 1.42, 1.57);
  const double roll = 0.08 * Gaussian(s->rng);
  const double heading = Span(s, 0.0, 2.0 * kPi);
  StartTrack(s->track, {0.0, 0.0, bed + 0.08}, lean, roll, heading);
  FidgetFor(s, Span(s, 29.0, 31.0), 0.05);
}

// Sitting on the bed's edge, lie back while swinging the legs up (a quarter
// turn of the heading), stay, and come back up the same way.
void LieDownAndGetUp(Scene* s, double quickness) {
  const double bed = s->subject->bed_height;
  StartSeated(s, bed, Span(s, 0.0, 0.1));
  const double side = RandomSign(s->rng);
  PoseGoal lie = Goal(bed + 0.08, -Span(s, 1.4, 1.57));
  lie.roll = 0.1 * Gaussian(s->rng);
  lie.turn = side * Span(s, 1.2, 1.7);
  lie.forward = -0.15;
  lie.end_vertical_speed = -Span(s, 0.1, 0.3) * quickness;
  Move(s, lie, Took(s, 1.8) / quickness);
  // The back meets the mattress.
  AppendStop(s->track, Span(s, 0.12, 0.2));
  Pause(s, 1.5, 3.0);
  PoseGoal sit = Goal(SeatedPelvis(bed), Span(s, 0.1, 0.3));
  sit.roll = 0.0;
  sit.turn = -side * Span(s, 1.2, 1.7);
  sit.forward = 0.15;
  Move(s, sit, Took(s, 1.8) / quickness);
  PoseGoal upright;
  upright.pitch = Span(s, 0.0, 0.08);
  Move(s, upright, Took(s, 0.5) / quickness);
  Pause(s, 1.0, 1.5);
}

// ---- falls ----------------------------------------------------------------

FallPlan CommonFall(Scene* s, double direction) {
  FallPlan plan;
  plan.direction = direction + 0.12 * std::clamp(Gaussian(s->rng), -2.0, 2.0);
  plan.twist = 0.25 * std::clamp(Gaussian(s->rng), -2.0, 2.0);
  plan.impact_seconds = Span(s, 0.07, 0.16);
  plan.settle_seconds = Span(s, 0.4, 0.9);
  plan.lying_lean = Span(s, 1.4, 1.62);
  plan.lying_height = Span(s, 0.12, 0.18);
  plan.lying_seconds = Span(s, 1.8, 3.2);
  plan.contact_tilt = Span(s, 1.1, 1.3);
  plan.trunk_at_contact = Span(s, 1.15, 1.45);
  plan.contact_height = Span(s, 0.2, 0.3);
  return plan;
}

double LateralSide(Scene* s) { return RandomSign(s->rng) * 0.5 * kPi; }

// Falls while sitting down or getting up: the pivot is the feet, the pelvis
// already lowered, and the loss of balance comes while still moving.
void FallFromStandingPivot(Scene* s, FallPlan plan) {
  const double height = Last(*s->track, kPelvisZ);
  plan.leg_length = 0.95 * height;
  plan.pendulum_length = height;
  plan.start_tilt = Span(s, 0.04, 0.12);
  plan.start_tilt_rate = Span(s, 0.3, 0.7);
  plan.knee_sink = Span(s, 0.0, 0.15);
  AppendFall(s->track, plan);
}

void BeginSittingDown(Scene* s) {
  const double hip = s->subject->hip_height;
  PoseGoal bend = Goal(hip - Span(s, 0.1, 0.2), Span(s, 0.3, 0.55));
  bend.forward = -0.05;
  bend.end_vertical_speed = -Span(s, 0.2, 0.4);
  Move(s, bend, Took(s, 0.7));
}

void BeginGettingUp(Scene* s) {
  const double seat = s->subject->chair_height;
  StartSeated(s, seat, Span(s, 0.0, 0.1));
  Pause(s, 0.5, 1.5);
  PoseGoal lean;
  lean.pitch = Span(s, 0.5, 0.7);
  Move(s, lean, Took(s, 0.6));
  PoseGoal rise = Goal(SeatedPelvis(seat) + Span(s, 0.15, 0.3), Span(s, 0.3, 0.45));
  rise.forward = 0.15;
  Move(s, rise, Took(s, 0.6));
}

void FallWhenSittingDown(Scene* s, double direction) {
  StartStanding(s);
  BeginSittingDown(s);
  FallPlan plan = CommonFall(s, direction);
  if (std::cos(direction) < -0.5) {
    // Missing the chair backward: the buttocks reach the floor first while
    // the trunk is still half upright.
    plan.contact_tilt = Span(s, 0.7, 1.0);
    plan.trunk_at_contact = Span(s, 0.6, 0.95);
    plan.contact_height = Span(s, 0.1, 0.16);
    plan.lying_height = Span(s, 0.08, 0.12);
  }
  FallFromStandingPivot(s, plan);
}

void FallWhenGettingUp(Scene* s, double direction) {
  BeginGettingUp(s);
  FallFromStandingPivot(s, CommonFall(s, direction));
}

// Fainting on a chair: the trunk slumps, then the body slides off the seat
// and drops to the floor; the pelvis itself is the pivot of the trunk.
void FaintWhileSitting(Scene* s, double direction) {
  const double seat = s->subject->chair_height;
  StartSeated(s, seat, Span(s, 0.0, 0.1));
  Pause(s, 1.0, 3.0);
  const double slump = Span(s, 0.2, 0.45);
  PoseGoal sag;
  sag.pitch = Last(*s->track, kPitch) + slump * std::cos(direction);
  sag.roll = slump * std::sin(direction);
  Move(s, sag, Span(s, 0.8, 1.8));
  FallPlan plan = CommonFall(s, direction);
  plan.leg_length = 0.0;
  // The whole upper body rolls off the seat, slower than a trunk alone.
  plan.pendulum_length = Span(s, 0.6, 0.85);
  plan.start_tilt = slump;
  plan.start_tilt_rate = Span(s, 0.05, 0.25);
  plan.contact_height = Span(s, 0.15, 0.25);
  plan.slide = Span(s, 0.2, 0.35);
  plan.seat_seconds = Span(s, 0.3, 0.6);
  plan.contact_tilt = Span(s, 1.15, 1.35);
  plan.trunk_at_contact = plan.contact_tilt;
  AppendFall(s->track, plan);
}

enum class Upset { kFaint, kHandsFirst, kTrip, kSlip };

void FallWhileMoving(Scene* s, bool jogging, Upset upset, double direction) {
  StartStanding(s);
  const GaitStyle style = jogging ? JogStyle(s, false) : WalkStyle(s, false);
  WalkUpToSpeed(s, style, Span(s, 1.5, 3.0));
  FallPlan plan = CommonFall(s, direction);
  const double hip = s->subject->hip_height;
  plan.leg_length = hip;
  plan.pendulum_length = hip;
  plan.start_tilt = Span(s, 0.03, 0.08);
  switch (upset) {
    case Upset::kFaint:
      // The knees give way: the body sinks nearly straight down before it
      // tips over.
      plan.carried_momentum = 0.4;
      plan.start_tilt_rate = Span(s, 0.05, 0.2);
      plan.knee_sink = Span(s, 0.3, 0.45);
      plan.contact_tilt = Span(s, 0.85, 1.1);
      plan.contact_height = Span(s, 0.25, 0.35);
      break;
    case Upset::kHandsFirst:
      plan.carried_momentum = 0.6;
      plan.start_tilt_rate = Span(s, 0.1, 0.3);
      plan.impact_seconds = Span(s, 0.2, 0.3);
      plan.contact_height = Span(s, 0.25, 0.35);
      break;
    case Upset::kTrip:
      // The foot is held back while the body keeps its speed.
      plan.carried_momentum = 1.0;
      plan.start_tilt_rate = Span(s, 0.3, 0.6);
      plan.impact_seconds = Span(s, 0.06, 0.12);
      break;
    case Upset::kSlip:
      if (std::cos(direction) > 0.5) {
        // The trailing foot slides back.
        plan.carried_momentum = 0.8;
        plan.start_tilt_rate = Span(s, 0.1, 0.3);
        plan.slide = -Span(s, 0.1, 0.25);
      } else {
        // The feet shoot away; the walking speed now drives the feet, not
        // the tipping.
        plan.carried_momentum = 0.0;
        plan.start_tilt_rate = Span(s, 1.0, 1.8);
        plan.feet_slide = true;
      }
      if (std::cos(direction) < -0.5) {
        plan.contact_tilt = Span(s, 0.8, 1.1);
        plan.trunk_at_contact = Span(s, 0.8, 1.1);
        plan.contact_height = Span(s, 0.1, 0.18);
      }
      break;
  }
  AppendFall(s->track, plan);
}

}  // namespace

// A script for every task of KFall's table.
static_assert(kLastTask == kKFallTaskCount - 1, "the generator has no script for some KFall task");

BodyTrack SimulateTask(int task, const SubjectProfile& subject, RandomStream* rng) {
  BodyTrack track;
  Scene scene{&track, &subject, rng};
  Scene* s = &scene;
  switch (task) {
    case 1: StandStill(s); break;
    case 2: BendAndTie(s); break;
    case 3: PickUp(s); break;
    case 4: GentleJump(s); break;
    case 5: SitOnGround(s); break;
    case 6: WalkWithTurn(s, false); break;
    case 7: WalkWithTurn(s, true); break;
    case 8: JogWithTurn(s, false); break;
    case 9: JogWithTurn(s, true); break;
    case 10: StumbleWhileWalking(s); break;
    case 11: SitStill(s, subject.chair_height, 0.05); break;
    case 12: SitStill(s, subject.sofa_height, -subject.sofa_recline); break;
    case 13: SitDownAndGetUp(s, 1.0); break;
    case 14: SitDownAndGetUp(s, 1.8); break;
    case 15: CollapseIntoChair(s); break;
    case 16: SofaSitAndGetUp(s); break;
    case 17: LieStill(s); break;
    case 18: LieDownAndGetUp(s, 1.0); break;
    case 19: LieDownAndGetUp(s, 1.7); break;
    case 20: FallWhenSittingDown(s, 0.0); break;
    case 21: FallWhenSittingDown(s, kPi); break;
    case 22: FallWhenSittingDown(s, LateralSide(s)); break;
    case 23: FallWhenGettingUp(s, 0.0); break;
    case 24: FallWhenGettingUp(s, LateralSide(s)); break;
    case 25: FaintWhileSitting(s, 0.0); break;
    case 26: FaintWhileSitting(s, LateralSide(s)); break;
    case 27: FaintWhileSitting(s, kPi); break;
    case 28: FallWhileMoving(s, false, Upset::kFaint, 0.0); break;
    case 29: FallWhileMoving(s, false, Upset::kHandsFirst, 0.0); break;
    case 30: FallWhileMoving(s, false, Upset::kTrip, 0.0); break;
    case 31: FallWhileMoving(s, true, Upset::kTrip, 0.0); break;
    case 32: FallWhileMoving(s, false, Upset::kSlip, 0.0); break;
    case 33: FallWhileMoving(s, false, Upset::kSlip, LateralSide(s)); break;
    case 34: FallWhileMoving(s, false, Upset::kSlip, kPi); break;
    case 35: Stairs(s, false); break;
    case 36: Stairs(s, true); break;
    default: StartStanding(s); break;
  }
  AppendHold(&track, 0.3);
  PadToWholeSamples(&track);
  return track;
}
