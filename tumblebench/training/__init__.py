"""Training the fall model on exactly the windows the detector feeds its
classifier, with an objective shaped by the decision rules; cross-validation
by subject; the model file writer. The command train_fall_model needs
PyTorch on top of what is required here."""

from ..interpreter import require

require("numpy", "flatbuffers")
