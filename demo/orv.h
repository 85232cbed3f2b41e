/* The two libraries of the demo Tessaline. Each reports the version it was
   built as, so a half-updated installation shows which parts are old. */
#ifndef ORV_H
#define ORV_H

#ifdef ORV_BUILDING_DLL
#define ORV_API __declspec(dllexport)
#else
#define ORV_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* orvcore.dll */
ORV_API const char* OrvCoreVersion(void);

/* orvtext.dll */
ORV_API const char* OrvTextVersion(void);

#ifdef __cplusplus
}
#endif

#endif
