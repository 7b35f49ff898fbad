"""Tests of the hidraw backend against an emulated kernel (umockdev)."""
