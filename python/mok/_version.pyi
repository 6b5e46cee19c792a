# The version module the build generates from _version.py.in.
__version__: str
