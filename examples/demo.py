"""Demonstration of vornix_core."""
import vornix_core

print("vornix_core is available:", vornix_core.available())
