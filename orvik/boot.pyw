# Start-up script run by kestrun from the application's folder: the bundled
# packages (alignopt, orvik) live in Orvik/lib; the job itself is orvik.app.
import os
import sys

sys.path.insert(0, os.path.abspath(os.path.join("Orvik", "lib")))
if not getattr(sys, "argv", None):
    sys.argv = [os.path.join("Orvik", "boot.pyw")]  # an embedded interpreter starts without one

from orvik.app import run

sys.exit(run("Orvik"))
