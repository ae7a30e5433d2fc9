# The compiled module may be staged in another sys.path entry (a build tree):
# each package on its way is extended over every entry that holds a portion of it.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)
