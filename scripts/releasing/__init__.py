"""The checks of a release, one module per concern: the upload tree and its lists
(tree), BUILDINFO (buildinfo), the PE image around a signature (pe_image), the
Authenticode signature (authenticode), certificates and their chains (certificates),
and the PKCS#11 token (pkcs11_token). scripts/release_checks.py is their command line.

Every module trusts nothing it is handed: a refusal is raised as Refused, whose text
is the one line the user sees.
"""
