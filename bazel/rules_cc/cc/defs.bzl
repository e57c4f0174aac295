"""A stand-in for rules_cc, forwarding to Bazel's native C++ rules.

Offline, Debian's Bazel 4.2.3 cannot fetch the rules_cc repository that its own tools
load, and Debian's bazel-rules-cc 0.0.4 needs a newer Bazel (use_cpp_toolchain). The
native rules are all that is needed here; this file can go once the Bazel in use
ships a rules_cc it can load (Bazel 6 and later bundle one).
"""

def cc_binary(**kwargs):
    native.cc_binary(**kwargs)

def cc_import(**kwargs):
    native.cc_import(**kwargs)

def cc_library(**kwargs):
    native.cc_library(**kwargs)

def cc_proto_library(**kwargs):
    native.cc_proto_library(**kwargs)

def cc_test(**kwargs):
    native.cc_test(**kwargs)

def cc_toolchain(**kwargs):
    native.cc_toolchain(**kwargs)

def cc_toolchain_suite(**kwargs):
    native.cc_toolchain_suite(**kwargs)

def fdo_prefetch_hints(**kwargs):
    native.fdo_prefetch_hints(**kwargs)

def fdo_profile(**kwargs):
    native.fdo_profile(**kwargs)

def objc_library(**kwargs):
    native.objc_library(**kwargs)
