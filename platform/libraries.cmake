# System libraries of the platform layer: PAM for password checks, libacl for access lists.
find_library(PAM_LIBRARY pam REQUIRED)
find_library(ACL_LIBRARY acl REQUIRED)
target_link_libraries(ambrix PUBLIC ${PAM_LIBRARY} ${ACL_LIBRARY})
