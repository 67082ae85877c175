"""The release program (python3 scripts/releasing COMMAND; command_line.py): scripts/release
(release.py and a module per stage), scripts/verify-release (verify.py), scripts/publish
(publish.py and its targets), and the checks, one module per concern: the upload tree and
its lists (tree), BUILDINFO (buildinfo), the host-name rule (host_name), the PE image around
a signature (pe_image), the Authenticode signature (authenticode), certificates and their
chains (certificates, signing_certs), osslsigncode's verdict (osslsigncode) and the PKCS#11
token (pkcs11_token).

Every module trusts nothing it is handed: a refusal is raised as Refused, whose text is the
one line the user sees.
"""
