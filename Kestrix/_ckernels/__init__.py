"""Compiled kernels of Kestrix."""
