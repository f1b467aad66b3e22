# Start-up script run by kestrun from the application's folder. For now it
# only shows that the bundled interpreter finds numpy and the native module.
import os
import sys

sys.path.insert(0, os.path.abspath(os.path.join("Orvik", "lib")))

import numpy
import alignopt

print("Python", sys.version.split()[0], "from", sys.prefix)
print("numpy", numpy.__version__, "from", os.path.dirname(numpy.__file__))
print("alignopt from", alignopt.__file__)
functions = sorted(name for name in dir(alignopt) if callable(getattr(alignopt, name)))
print("alignopt functions:", ", ".join(functions) if functions else "(none yet)")
