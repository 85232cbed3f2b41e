# Unix symbolic links in the test prefix's c:, which a Windows program
# cannot make under Wine: cmake -DDIR=<drive_c>/.patcher-links -P this.
file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR}/dir ${DIR}/real)
file(WRITE ${DIR}/victim.txt "a file outside the patched directory\n")
file(CREATE_LINK ../victim.txt ${DIR}/dir/vusk.exe SYMBOLIC)
file(CREATE_LINK real ${DIR}/linked SYMBOLIC)
# The directory to patch reached through a link (held -> held.real), and a
# decoy of the same shape for the test to put in held.real's place.
file(MAKE_DIRECTORY ${DIR}/held.real/inst ${DIR}/decoy/inst)
file(CREATE_LINK held.real ${DIR}/held SYMBOLIC)
# Folders for OpenFolder and RemoveFolder: empty, and two links to folders,
# one inside (to empty) and one outside (to ../real).
file(MAKE_DIRECTORY ${DIR}/folders/empty)
file(CREATE_LINK empty ${DIR}/folders/inside SYMBOLIC)
file(CREATE_LINK ../real ${DIR}/folders/outside SYMBOLIC)
