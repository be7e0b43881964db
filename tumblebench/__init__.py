"""tumblebench's research tools: evaluating the detector over data sets and
reading what its runs leave behind (research), converting other data sets
into KFall's layout (datasets), training the fall model (training), and the
KFall facts all of them share (kfall).

Each subpackage says on import which modules it needs; under an interpreter
that lacks them the tools stop with one line that says which interpreter to
use (see interpreter)."""

__version__ = "0.0.1"
