// Umbrella header of Basics, the clustering library: KD points and KD-tree, DBSCAN, KMeans,
// the event cluster generators, cluster geometry and the distance-based matcher.
#pragma once

#include <vireo/basics_export.h>
#include <vireo/ClusterGeometry.h>
#include <vireo/ClusterGenerators.h>
#include <vireo/DBSCAN.h>
#include <vireo/GridBasedClusterGenerator.h>
#include <vireo/KDTree.h>
#include <vireo/KMeans.h>
