# A Unix symbolic link to a directory in the test prefix's c:, which a
# Windows program cannot make under Wine, beside the directory it leads to:
# cmake -DDIR=<drive_c>/.scanner-links -P this.
file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR}/walk ${DIR}/elsewhere)
file(WRITE ${DIR}/elsewhere/Vusk.exe "not entered through the link\n")
file(CREATE_LINK ../elsewhere ${DIR}/walk/link SYMBOLIC)
